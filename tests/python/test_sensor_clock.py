"""time_ns against the simulator's truth: a device clock 50 ppm fast whose
writes wait an exponential 1 ms, read by a Sensor over a symlinked terminal
that is unplugged once. Bounds are looser than the benchmark's, and the run
shorter, so that a loaded machine still passes; the seconds after each fresh
start of the clock (the first sample, the return after the unplug) are left
out, as a fusion stack would wait for the fit to settle."""

import csv
import itertools
import os
import subprocess
import sys
import time

import pytest

from tavrin_ahrs_tools import Sensor
from tavrin_ahrs_tools.sim import parse_args


def _percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


WARM_UP_NS = 2_000_000_000


def fresh_starts(instants):
    """When the stream began, and when it came back after the unplug (the
    widest gap between two samples): a clock fitted afresh knows only the
    arrivals it has seen, and on a busy machine those may all be late."""
    ordered = sorted(set(instants))
    return ordered[0], max(itertools.pairwise(ordered), key=lambda pair: pair[1] - pair[0])[1]


def test_time_ns_beats_arrival_across_an_unplug(tmp_path):
    link, truth_path = str(tmp_path / "dev"), tmp_path / "truth.csv"
    sim = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tavrin_ahrs_tools.sim",
            "--link",
            link,
            "--rate",
            "250",
            "--clock-skew",
            "50",
            "--jitter",
            "1000",
            "--truth",
            str(truth_path),
            "--duration",
            "9",
            "--unplug-every",
            "5",
        ],
        stdout=subprocess.DEVNULL,
    )
    samples = []
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists(link):
            assert time.monotonic() < deadline and sim.poll() is None, "no terminal"
            time.sleep(0.01)
        with Sensor(link, configure=False) as sensor:
            while sim.poll() is None or sensor.latest() is None:
                s = sensor.read(timeout=0.5)
                if s is not None and s.device_time is not None:
                    samples.append((s.device_time, s.host_ns, s.time_ns))
                if time.monotonic() > deadline + 30:
                    break
            clock = sensor.clock
    finally:
        sim.terminate()
        sim.wait()
    with open(truth_path, newline="") as f:
        truth = {float(r["device_time"]): int(r["host_ns"]) for r in csv.DictReader(f)}
    starts = fresh_starts(truth.values())
    pairs = [
        (abs(h - truth[d]), t if t is None else abs(t - truth[d]))
        for d, h, t in samples
        if d in truth and not any(0 <= truth[d] - start < WARM_UP_NS for start in starts)
    ]
    assert len(pairs) > 1000
    fitted = [t for _, t in pairs if t is not None]
    assert len(fitted) > 0.98 * len(pairs)
    raw = [r for r, _ in pairs]
    assert _percentile(fitted, 0.5) <= 0.5 * _percentile(raw, 0.5)
    assert _percentile(fitted, 0.99) <= 0.3 * _percentile(raw, 0.99)
    assert clock.resets >= 1  # the unplug
    # The drift of a few seconds' hull is noisy on a loaded host (seen: -14
    # ppm against a true +50 while the machine was busy); what a fusion stack
    # uses is time_ns, held above. The drift's accuracy is shown by bench-time.
    assert clock.drift_ppm is not None and abs(clock.drift_ppm) < 500


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--fast", "--truth", "t.csv"], "--fast"),
        (["--record", "x.bin", "--seconds", "1", "--clock-skew", "10"], "--record"),
        (["--clock-skew", "1e6"], "between"),
        (["--jitter", "-1"], "zero or more"),
    ],
)
def test_clock_options_refused(argv, message, capsys):
    with pytest.raises(SystemExit):
        parse_args(argv)
    assert message in capsys.readouterr().err
