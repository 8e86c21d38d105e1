"""Recordings as analysis-ready data, side by side with load().

ahrs-dump --format parquet against load() on the same recording; the
resident memory of load(layout="columns") with every record handed to
to_arrow() against that of load(); and ahrs-dataset converting many
recordings on a local Dask cluster of two workers against one. Each timing
runs in an interpreter of its own.
"""

import os
import shutil
import sys
import tempfile

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402
from make_recording import make_recording  # noqa: E402


def time_parquet(path, out):
    """Child: seconds of ahrs-dump --format parquet, its libraries imported
    before the clock starts as load()'s numpy is."""
    import time

    import pyarrow.parquet  # noqa: F401

    from tavrin_ahrs_tools.dump import main

    start = time.perf_counter()
    status = main([path, "--format", "parquet", "-o", out])
    seconds = time.perf_counter() - start
    assert status == 0, status
    return seconds


def time_ros2(path, out):
    """Child: seconds of ahrs-dump --format mcap (ROS 2 messages), and the
    resident memory it added at its peak."""
    import time

    import numpy  # noqa: F401 (as load()'s)

    from tavrin_ahrs_tools.dump import main

    before = harness.rss_kib()
    start = time.perf_counter()
    status = main([path, "--format", "mcap", "-o", out])
    seconds = time.perf_counter() - start
    assert status == 0, status
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return {"seconds": seconds, "peak_kib": peak - before}


def peak_memory(path, arrow):
    """Child: resident memory added at the peak of load(), or of
    load(layout="columns") and to_arrow() of every record, and the bytes of
    the tables."""
    import numpy  # noqa: F401 (the libraries' own memory is not the tables')
    import pyarrow  # noqa: F401

    from tavrin_ahrs_tools import load

    before = harness.rss_kib()
    if arrow:
        rec = load(path, layout="columns")
        tables = [rec.to_arrow(name) for name in rec.records]
        size = sum(t.nbytes for t in tables)
    else:
        rec = load(path)
        size = sum(t.nbytes for t in rec.records.values())
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return {"peak_kib": peak - before, "table_bytes": size}


def time_dataset(folder, out, workers):
    """Child: seconds of ahrs-dataset on `folder` with a LocalCluster of
    `workers`: the whole command, and the conversion once the cluster is up."""
    import time

    from tavrin_ahrs_tools import dataset

    start = time.perf_counter()
    with dataset.start_client(workers, None) as client:
        client.wait_for_workers(workers)
        ready = time.perf_counter()
        converted, _skipped = dataset.convert_all(client, [folder], out, show_progress=False)
        done = time.perf_counter()
    assert len(converted) and not any(r.get("error") for r in converted)
    return {"total": time.perf_counter() - start, "conversion": done - ready}


def measure(path, packets, workdir, repeat=3, recordings=40, recording_packets=100_000):
    load_s = min(harness.run_child("bench_tools", "time_load", path=path)[0][0] for _ in range(repeat))
    parquet_s = min(
        harness.run_child("bench_analysis", "time_parquet", path=path, out=os.path.join(workdir, "parquet"))[0]
        for _ in range(repeat)
    )
    ros2 = [
        harness.run_child("bench_analysis", "time_ros2", path=path, out=os.path.join(workdir, "ros2.mcap"))[0]
        for _ in range(repeat)
    ]
    memory = {
        kind: harness.run_child("bench_analysis", "peak_memory", path=path, arrow=kind == "arrow")[0]
        for kind in ("load", "arrow")
    }

    folder = os.path.join(workdir, "fleet")
    os.makedirs(folder, exist_ok=True)
    first = os.path.join(folder, "flight00.bin")
    make_recording(first, recording_packets)
    for k in range(1, recordings):
        shutil.copyfile(first, os.path.join(folder, f"flight{k:02d}.bin"))
    runs = {}
    for workers in (1, 2) * max(1, repeat - 1):  # interleaved, so both meet the same load
        out = tempfile.mkdtemp(prefix="dataset-", dir=workdir)
        got = harness.run_child("bench_analysis", "time_dataset", folder=folder, out=out, workers=workers)[0]
        shutil.rmtree(out)
        best = runs.setdefault(workers, got)
        runs[workers] = {k: min(best[k], got[k]) for k in got}
    shutil.rmtree(folder)
    return {
        "packets": packets,
        "load_seconds": load_s,
        "parquet_seconds": parquet_s,
        "parquet_over_load": parquet_s / load_s,
        "ros2_seconds": min(r["seconds"] for r in ros2),
        "ros2_over_parquet": min(r["seconds"] for r in ros2) / parquet_s,
        "ros2_peak_kib": min(r["peak_kib"] for r in ros2),
        "memory": {
            **memory,
            "ros2_over_load": min(r["peak_kib"] for r in ros2) / memory["load"]["peak_kib"],
            "arrow_over_load": memory["arrow"]["peak_kib"] / memory["load"]["peak_kib"],
        },
        "dataset": {
            "recordings": recordings,
            "recording_packets": recording_packets,
            **{f"workers_{w}": r for w, r in runs.items()},
            "speedup": runs[1]["total"] / runs[2]["total"],
            "conversion_speedup": runs[1]["conversion"] / runs[2]["conversion"],
        },
    }
