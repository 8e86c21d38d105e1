"""How close a live sample's time_ns comes to the instant the device took it.

The simulator runs a device clock 50 ppm fast and delays each write by an
exponential 1 ms, at 500 packets a second in all, and writes down the true
instant of every data packet. A Sensor reads it (recording it too); after
the first 2 s each sample's host_ns (its arrival) and time_ns (the live
clock model's estimate) are compared with the truth, and so is the
recording's host_time when load() gives one (from the recording's host-time
sidecar; "n/a" where there is none).
"""

import csv
import os
import subprocess
import sys
import time

SETTLE_S = 2.0


def _percentiles(errors):
    errors = sorted(errors)
    if not errors:
        return None

    def at(q):
        return errors[min(len(errors) - 1, int(q * len(errors)))] / 1e3

    return {"median_us": at(0.5), "p99_us": at(0.99), "count": len(errors)}


def read_truth(path):
    """device_time -> host_ns, from the simulator's truth file."""
    with open(path, newline="") as f:
        return {float(row["device_time"]): int(row["host_ns"]) for row in csv.DictReader(f)}


def run_live(workdir, seconds, skew=50.0, jitter_us=1000.0, rate=250):
    """(samples, truth, wall minus monotonic ns, recording path): samples as
    (device_time, host_ns, time_ns)."""
    from tavrin_ahrs_tools import Sensor

    link = os.path.join(workdir, "clock-link")
    truth_path = os.path.join(workdir, "truth.csv")
    record = os.path.join(workdir, "clock.bin")
    sim = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tavrin_ahrs_tools.sim",
            "--link",
            link,
            "--rate",
            str(rate),
            "--clock-skew",
            str(skew),
            "--jitter",
            str(jitter_us),
            "--truth",
            truth_path,
            "--duration",
            str(seconds),
        ],
        stdout=subprocess.DEVNULL,
    )
    samples = []
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists(link):
            if time.monotonic() > deadline or sim.poll() is not None:
                raise RuntimeError("the simulator made no terminal")
            time.sleep(0.01)
        wall_minus_mono = time.time_ns() - time.monotonic_ns()
        with Sensor(link, record=record, reconnect=False) as sensor:
            while True:
                s = sensor.read(timeout=1.0)
                if s is None:
                    if sim.poll() is not None or sensor.status != "streaming":
                        break
                    continue
                if s.device_time is not None:
                    samples.append((s.device_time, s.host_ns, s.time_ns))
            clock = sensor.clock
    finally:
        sim.terminate()
        sim.wait()
    return samples, read_truth(truth_path), wall_minus_mono, record, clock


def recording_errors(record, truth, wall_minus_mono, start_ns):
    """|host_time - truth| in ns for the recording, or None without host_time."""
    try:
        from tavrin_ahrs_tools import load

        tables = load(record).records
    except Exception:
        return None
    errors = []
    for table in tables.values():
        names = getattr(getattr(table, "dtype", None), "names", None) or ()
        if "host_time" not in names or "time" not in names:
            return None
        for device_time, host_time in zip(table["time"].tolist(), table["host_time"].tolist()):
            true = truth.get(device_time)
            if true is not None and true >= start_ns:
                errors.append(abs(host_time * 1e9 - (true + wall_minus_mono)))
    return errors or None


def measure(workdir, seconds=20.0):
    samples, truth, wall_minus_mono, record, clock = run_live(workdir, seconds)
    if not truth:
        raise RuntimeError("the simulator wrote no truth")
    start = min(truth.values()) + int(SETTLE_S * 1e9)
    raw, live, unfitted = [], [], 0
    for device_time, host_ns, time_ns in samples:
        true = truth.get(device_time)
        if true is None or true < start:
            continue
        raw.append(abs(host_ns - true))
        if time_ns is None:
            unfitted += 1
        else:
            live.append(abs(time_ns - true))
    rec = recording_errors(record, truth, wall_minus_mono, start)
    return {
        "seconds": seconds,
        "samples": len(samples),
        "compared": len(raw),
        "unfitted": unfitted,
        "raw": _percentiles(raw),
        "live": _percentiles(live),
        "recording": _percentiles(rec) if rec else None,
        "drift_ppm": clock.drift_ppm,
        "resets": clock.resets,
        "spread_us": (clock.spread or 0) / 1e3,
    }


def rows(t):
    raw, live, rec = t["raw"], t["live"], t["recording"]

    def show(p):
        return "n/a" if p is None else f"median {p['median_us']:,.0f} us, p99 {p['p99_us']:,.0f} us"

    p99 = live["p99_us"] / raw["p99_us"]
    median = live["median_us"] / raw["median_us"]
    return [
        (
            f"device time on the host's clock, {t['seconds']:g} s at 500 packets/s, 50 ppm, 1 ms jitter",
            f"raw host_ns: {show(raw)}",
            "",
            None,
        ),
        (
            "  live time_ns (clock model)",
            f"{show(live)}: {p99:.3f} x raw at p99, {median:.3f} x at the median",
            "<= 0.1 x at p99, <= 0.25 x at the median",
            p99 <= 0.1 and median <= 0.25,
        ),
        (
            "  recording host_time (whole-run fit)",
            show(rec),
            "p99 <= live p99" if rec else "",
            None if rec is None else rec["p99_us"] <= live["p99_us"],
        ),
        (
            "  the live model at the end",
            f"drift {t['drift_ppm']:+.1f} ppm, {t['resets']} resets, spread {t['spread_us']:,.0f} us, "
            f"{t['unfitted']} samples without time_ns",
            "",
            None,
        ),
    ]
