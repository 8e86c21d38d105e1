"""The recording tools against what a user would write without them.

load() against an AHRSClient.open_file + read() loop that collects the same
columns into numpy arrays in Python; ahrs-dump's csv and jsonl exports
against parse_data_stream_py's text (packets per second, output to
/dev/null or, for csv, to files); and the resident memory load() takes
against the size of the arrays it returns. Each timing runs in an
interpreter of its own.
"""

import os
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import bench_parse  # noqa: E402
import harness  # noqa: E402


def time_load(path):
    """Child: (seconds, rows) of load()."""
    import time

    import numpy  # noqa: F401 (imported before the clock starts, as in the loop it is compared with)

    from tavrin_ahrs_tools import load

    start = time.perf_counter()
    rec = load(path)
    seconds = time.perf_counter() - start
    return seconds, sum(len(t) for t in rec.records.values())


def time_read_loop(path):
    """Child: (seconds, rows) of the same tables built from read() snapshots:
    one list of row tuples per record, made into a structured array at the end
    (the record offsets, which read() does not give, are left out)."""
    import time

    import numpy as np

    import tavrin_ahrs_driver
    from tavrin_ahrs_tools.recording import record_dtypes

    dtypes = record_dtypes()
    start = time.perf_counter()
    client = tavrin_ahrs_driver.AHRSClient()
    client.open_file(path)
    rows = {}
    with harness.silenced(1, 2):  # read() reports each packet on descriptor 1
        for packet, snapshot in enumerate(iter(client.read, {})):
            for name, reading in snapshot.items():
                if name != "type":
                    rows.setdefault(name, []).append(
                        (packet, 0, *(v == "Valid" if isinstance(v, str) else v for v in reading.values()))
                    )
    tables = {name: np.array(r, dtype=dtypes[name]) for name, r in rows.items()}
    seconds = time.perf_counter() - start
    return seconds, sum(len(t) for t in tables.values())


def time_dump(path, fmt, out):
    """Child: seconds of one native export (as ahrs-dump runs it)."""
    import time

    from tavrin_ahrs_tools import _native

    start = time.perf_counter()
    _native.dump(path, fmt, "", out, None)
    return time.perf_counter() - start


def load_memory(path):
    """Child: resident memory load() added at its peak and at the end, and
    the bytes of the arrays it returned."""
    import numpy  # noqa: F401 (its own memory is not load()'s)

    from tavrin_ahrs_tools import load

    before = harness.rss_kib()
    rec = load(path)
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return {
        "array_bytes": sum(t.nbytes for t in rec.records.values()),
        "peak_kib": peak - before,
        "end_kib": harness.rss_kib() - before,
    }


# The worst a file can do to load()'s damage list: an empty packet and one
# stray byte, over and over, a damaged run every 7 bytes.
CRAFTED_UNIT = b"\x75\x65\x80\x00\x5a\x03" + b"\x00"


def make_crafted_damage(path, size):
    unit = CRAFTED_UNIT * 4096
    with open(path, "wb") as f:
        for _ in range(size // len(unit)):
            f.write(unit)
    return os.path.getsize(path)


def damage_memory(path):
    """Child: the peak resident memory load() added on a file of damaged runs."""
    import numpy  # noqa: F401 (its own memory is not load()'s)

    from tavrin_ahrs_tools import load

    before = harness.rss_kib()
    rec = load(path)
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return {"runs": len(rec.damaged), "peak_kib": peak - before}


def measure(path, packets, workdir, repeat=3, crafted_bytes=70 << 20):
    load_s = min(harness.run_child("bench_tools", "time_load", path=path)[0][0] for _ in range(repeat))
    loop_s, rows = harness.run_child("bench_tools", "time_read_loop", path=path)[0]
    parse_s = min(bench_parse.run_decoder("parse_data_stream_py", path)[0] for _ in range(repeat))
    outputs = {"csv": os.path.join(workdir, "export"), "jsonl": os.devnull}
    dump_s = {
        fmt: min(harness.run_child("bench_tools", "time_dump", path=path, fmt=fmt, out=out)[0] for _ in range(repeat))
        for fmt, out in outputs.items()
    }
    memory = harness.run_child("bench_tools", "load_memory", path=path)[0]
    crafted = os.path.join(workdir, "crafted.bin")
    crafted_size = make_crafted_damage(crafted, crafted_bytes)
    damage = harness.run_child("bench_tools", "damage_memory", path=crafted)[0]
    os.unlink(crafted)
    return {
        "packets": packets,
        "rows": rows,
        "load_seconds": load_s,
        "read_loop_seconds": loop_s,
        "load_speedup": loop_s / load_s,
        "parse_packets_per_s": packets / parse_s,
        **{f"dump_{fmt}_packets_per_s": packets / s for fmt, s in dump_s.items()},
        **{f"dump_{fmt}_ratio": parse_s / s for fmt, s in dump_s.items()},
        "memory": {**memory, "peak_ratio": memory["peak_kib"] * 1024 / memory["array_bytes"]},
        "damage_memory": {**damage, "file_bytes": crafted_size, "peak_ratio": damage["peak_kib"] * 1024 / crafted_size},
    }
