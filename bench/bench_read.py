"""AHRSClient.open_file + read() per call against the pure-Python decoder
building the same snapshot dicts.

read() prints "Parsed packet: ..." on descriptor 1 for files, so the timed
child sends descriptor 1 to /dev/null.  The pure-Python side only builds the
dicts (no printing).
"""

import os
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402


def _native_snapshots(path):
    import tavrin_ahrs_driver

    client = tavrin_ahrs_driver.AHRSClient()
    client.open_file(path)
    # The recording has no bad packet, so the first empty dict is its end.
    return iter(client.read, {})


def _python_snapshots(path):
    import pure_python_decoder

    return pure_python_decoder.iter_snapshots(path)


SOURCES = {"read()": _native_snapshots, "pure Python": _python_snapshots}


def time_reads(source, path):
    """Child: (seconds, snapshots) to read every snapshot of `path`."""
    import time

    snapshots = SOURCES[source](path)
    count = 0
    start = time.perf_counter()
    for _ in snapshots:
        count += 1
    return time.perf_counter() - start, count


def compare(path):
    """Child: None when both sides give equal snapshots for `path`, else why not."""
    native = list(_native_snapshots(path))
    python = list(_python_snapshots(path))
    if len(native) != len(python):
        return f"read() gave {len(native)} snapshots, pure Python {len(python)}"
    for i, (a, b) in enumerate(zip(native, python)):
        if a != b or list(a) != list(b):
            return f"snapshot {i} differs:\n  read(): {a}\n  pure Python: {b}"
    return None


def measure(path, packets, check_path, repeat=3):
    mismatch, _ = harness.run_child("bench_read", "compare", path=check_path)
    if mismatch:
        raise RuntimeError(f"read() and the pure-Python decoder disagree: {mismatch}")
    runs = {}
    for source, times in (("read()", repeat), ("pure Python", 1)):
        best = None
        for _ in range(times):
            (seconds, count), _ = harness.run_child("bench_read", "time_reads", source=source, path=path)
            if count != packets:
                raise RuntimeError(f"{source} read {count} of {packets} packets")
            best = seconds if best is None else min(best, seconds)
        runs[source] = best
    return {
        "packets": packets,
        "native_seconds": runs["read()"],
        "python_seconds": runs["pure Python"],
        "native_packets_per_s": packets / runs["read()"],
        "python_packets_per_s": packets / runs["pure Python"],
        "ratio_to_python": runs["pure Python"] / runs["read()"],
    }
