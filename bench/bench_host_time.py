"""Host time against the truth: raw arrival stamps, the live fit and the
recording's fit side by side, and what the host-time sidecar costs.

A simulator whose clock runs 50 ppm fast writes 500 packets/s behind 1 ms of
exponential jitter and tells, on the side, the host instant each packet
stands for (--truth). A Sensor reads it and records it (record=); load()
then fits the recording. After the first 2 s, each stamp's error against
the truth (on the wall clock for host_time) is summed up at the median and
the 99th percentile. A second run at 1,000 packets/s without jitter weighs
the sidecar against the recording.

    python bench/bench_host_time.py [--seconds 20]
"""

import argparse
import csv
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from tavrin_ahrs_tools import Sensor, load

SIM = str(Path(sys.executable).parent / "ahrs-sim")
SETTLE_S = 2.0


def wait_for(path, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise SystemExit(f"bench_host_time: the simulator made no {path}")
        time.sleep(0.05)


def run(folder, rate, seconds, skew_ppm, jitter_us):
    """(samples as rows, recording path, truth path) of one simulated run."""
    link, truth, recording = (os.path.join(folder, n) for n in ("ahrs", "truth.csv", "timed.bin"))
    sim = subprocess.Popen(
        [
            SIM,
            "--link",
            link,
            "--rate",
            str(rate // 2),
            "--clock-skew",
            str(skew_ppm),
            "--jitter",
            str(jitter_us),
            "--truth",
            truth,
            "--duration",
            str(seconds + 3),
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        wait_for(link)
        rows = []
        with Sensor(link, record=recording) as sensor:
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                s = sensor.read(timeout=1)
                if s is None:
                    break
                if s.device_time is not None:
                    rows.append((s.device_time, s.host_ns, s.wall_ns, getattr(s, "time_ns", None)))
    finally:
        sim.terminate()
        _, err = sim.communicate(timeout=10)
    if not rows:
        raise SystemExit(f"bench_host_time: no samples ({err.strip().splitlines()[-1:]})")
    return rows, recording, truth


def truth_map(path):
    with open(path, newline="") as f:
        return {round(float(t), 6): int(ns) for t, ns in csv.reader(f) if t and t[0].isdigit()}


def errors(rows, recording, truth):
    """{stamp: absolute errors in seconds} after the first SETTLE_S."""
    true = truth_map(truth)
    rows = [r for r in rows if round(r[0], 6) in true]
    device = np.array([r[0] for r in rows])
    target = np.array([true[round(t, 6)] for t in device], dtype=np.float64)
    wall_minus_mono = float(np.median([r[2] - r[1] for r in rows]))
    settled = device >= device.min() + SETTLE_S
    out = {"raw arrival (host_ns)": np.abs(np.array([r[1] for r in rows]) - target)[settled] / 1e9}
    if all(r[3] is not None for r in rows[len(rows) // 2 :]):
        live = np.array([np.nan if r[3] is None else r[3] for r in rows], dtype=np.float64)
        out["live fit (time_ns)"] = np.abs(live - target)[settled] / 1e9
    rec = load(recording)
    if rec.host_clock is not None:
        table = rec.records["GPSCorrelationTimestamp"]
        known = np.array([round(t, 6) in true for t in table["time"]])
        t = table["time"][known]
        host = table["host_time"][known]
        want = (np.array([true[round(x, 6)] for x in t], dtype=np.float64) + wall_minus_mono) / 1e9
        out["recording fit (host_time)"] = np.abs(host - want)[t >= t.min() + SETTLE_S]
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seconds", type=float, default=20.0)
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        rows, recording, truth = run(folder, 500, args.seconds, 50, 1000)
        print(f"{'stamp':28} {'median':>10} {'p99':>10}   ({len(rows)} samples, 50 ppm, 1 ms jitter)")
        for name, err in errors(rows, recording, truth).items():
            print(f"{name:28} {np.median(err) * 1e3:8.3f} ms {np.percentile(err, 99) * 1e3:7.3f} ms")
    with tempfile.TemporaryDirectory() as folder:
        _, recording, _ = run(folder, 1000, min(args.seconds, 10), 0, 0)
        size, times = os.path.getsize(recording), recording + ".times"
        if os.path.exists(times):
            extra = os.path.getsize(times)
            print(f"sidecar at 1,000 packets/s: {extra:,} bytes beside {size:,} ({extra / size:.1%})")
        else:
            print("sidecar at 1,000 packets/s: none written")


if __name__ == "__main__":
    main()
