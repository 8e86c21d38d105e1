#!/usr/bin/env python3
"""Every benchmark of the driver in one run: `make bench`.

Runs, side by side on the same machine: recorded-file decoding against plain
Python and the native floor, AHRSClient.read() against plain Python, live
throughput over a pseudo-terminal (and the reader's CPU share when paced),
memory over a million packets per client, and the recording tools (load()
and ahrs-dump) on a million-packet recording, and the analysis outputs
(Parquet, Arrow, a dataset on a Dask cluster), and Sensor against the
driver's clients live (latency, CPU, a busy thread beside it, flat out,
resuming after an unplug).  Prints a table with the goals
and writes every figure to bench/results.json.
"""

import argparse
import datetime
import json
import os
import platform
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import bench_analysis  # noqa: E402
import bench_live  # noqa: E402
import bench_memory  # noqa: E402
import bench_parse  # noqa: E402
import bench_read  # noqa: E402
import bench_sensor  # noqa: E402
import bench_time  # noqa: E402
import bench_tools  # noqa: E402
import harness  # noqa: E402
from make_recording import make_recording  # noqa: E402

FULL = {
    "packets": 200_000,
    "repeat": 3,
    "live_packets": 400_000,
    "live_python_packets": 60_000,
    "paced_seconds": 10.0,
    "paced_rounds": 5,
    "memory_packets": 1_000_000,
    "tools_packets": 1_000_000,
    "recordings": 40,
    "recording_packets": 100_000,
    "busy_seconds": 1.0,
    "busy_rounds": 8,
    "arrays_queue": 200_000,
    "time_seconds": 20.0,
}
QUICK = {
    "packets": 20_000,
    "repeat": 1,
    "live_packets": 100_000,
    "live_python_packets": 10_000,
    "paced_seconds": 3.0,
    "paced_rounds": 1,
    "memory_packets": 100_000,
    "tools_packets": 50_000,
    "recordings": 8,
    "recording_packets": 20_000,
    "busy_seconds": 1.0,
    "busy_rounds": 1,
    "arrays_queue": 50_000,
    "time_seconds": 6.0,
}


def mib(kib):
    return f"{kib / 1024:+.2f} MiB"


def rows(fig):
    """(benchmark, measured, goal, met) lines of the table; met is None for context."""
    out = []
    p = fig.get("parse")
    if p:
        out += [
            (
                "file decoding: parse_data_stream_py",
                f"{p['native_packets_per_s']:,.0f} packets/s ({p['native_ns_per_packet']:,.0f} ns/packet)",
                "",
                None,
            ),
        ]
        for name, label in (
            ("to_chars", "the same, digits from std::to_chars (no Dragonbox)"),
            ("baseline", "the same, AHRS_BENCH_BASELINE build"),
        ):
            if f"{name}_seconds" in p:
                out.append(
                    (
                        f"  {label}",
                        f"{p[name + '_packets_per_s']:,.0f} packets/s ({p[name + '_ns_per_packet']:,.0f} "
                        f"ns/packet, {p[name + '_time_over_floor']:.2f} x the floor; "
                        f"parse_data_stream_py {p['speed_over_' + name]:.2f} x faster)",
                        "",
                        None,
                    )
                )
        out += [
            (
                "file decoding: pure-Python decoder",
                f"{p['python_packets_per_s']:,.0f} packets/s ({p['python_seconds']:.2f} s)",
                "",
                None,
            ),
            (
                "file decoding: floor (read + write only)",
                f"{p['floor_packets_per_s']:,.0f} packets/s ({p['floor_seconds']:.3f} s)",
                "",
                None,
            ),
            ("  speed over pure Python", f"{p['ratio_to_python']:.1f} x", ">= 30 x", p["ratio_to_python"] >= 30),
            ("  time over the floor", f"{p['time_over_floor']:.2f} x", "<= 2 x", p["time_over_floor"] <= 2),
        ]
    r = fig.get("read")
    if r:
        out += [
            ("open_file + read()", f"{r['native_packets_per_s']:,.0f} packets/s", "", None),
            ("pure-Python snapshot dicts", f"{r['python_packets_per_s']:,.0f} packets/s", "", None),
            ("  speed over pure Python", f"{r['ratio_to_python']:.1f} x", ">= 10 x", r["ratio_to_python"] >= 10),
        ]
    live = fig.get("live")
    if live:
        n, py, paced = live["native"], live["python"], live["paced"]
        size = f"{live['packet_bytes']:.0f}-byte packets"
        out += [
            (
                f"live pty, {size}: BufferedAHRSClient",
                f"{n['packets_per_s']:,.0f} packets/s, {n['missing']} missing"
                + (
                    f" (runs: {', '.join(f'{r / 1000:.0f}k' for r in n['runs_packets_per_s'])})"
                    if len(n["runs_packets_per_s"]) > 1
                    else ""
                ),
                ">= 200,000/s, 0 missing",
                n["packets_per_s"] >= 200_000 and n["missing_in_any_run"] == 0,
            ),
            (
                f"live pty, {size}: pure-Python reader",
                f"{py['packets_per_s']:,.0f} packets/s, {py['missing']} missing",
                "",
                None,
            ),
            ("  speed over pure Python", f"{live['ratio_to_python']:.1f} x", "", None),
            (
                "  CPU per packet: main thread, reader thread",
                f"{n['main_thread_us_per_packet']:.2f} us, {n['reader_thread_us_per_packet']:.2f} us "
                f"(pure Python: {py['main_thread_us_per_packet']:.2f} us, "
                f"{py['reader_thread_us_per_packet']:.2f} us)",
                "",
                None,
            ),
            (
                f"reader thread CPU, paced {paced['rate']:,}/s",
                f"{100 * paced['cpu_share']:.2f} % of a core, {paced['missing']} missing",
                "< 2 %",
                paced["cpu_share"] < 0.02 and paced["missing"] == 0,
            ),
        ]
    m = fig.get("memory")
    if m:
        fc, bc, pc = m["file_client"], m["buffered_client"], m["parse_calls"]
        out += [
            (
                f"VmRSS, AHRSClient.read(), {fc['packets']:,} packets",
                f"{mib(fc['growth_kib'])} after the first 10,000",
                "< 1 MiB",
                fc["growth_kib"] < 1024,
            ),
            (
                f"VmRSS, BufferedAHRSClient.take(), {bc['packets']:,} packets",
                f"{mib(bc['growth_kib'])} after the first 10,000",
                "< 1 MiB",
                bc["growth_kib"] < 1024,
            ),
            (
                f"VmRSS, parse_data_stream_py x {pc['calls']:,}",
                f"{mib(pc['growth_kib'])} after the first 100 calls",
                "flat (< 1 MiB)",
                pc["growth_kib"] < 1024,
            ),
        ]
    t = fig.get("tools")
    if t:
        mem = t["memory"]
        out += [
            (f"load(), {t['packets']:,} packets", f"{t['load_seconds']:.2f} s ({t['rows']:,} rows)", "", None),
            ("open_file + read() loop into numpy arrays", f"{t['read_loop_seconds']:.2f} s", "", None),
            ("  load() speed over the loop", f"{t['load_speedup']:.1f} x", ">= 20 x", t["load_speedup"] >= 20),
            ("parse_data_stream_py", f"{t['parse_packets_per_s']:,.0f} packets/s", "", None),
        ]
        for fmt in ("csv", "jsonl"):
            out.append(
                (
                    f"ahrs-dump --format {fmt}",
                    f"{t[f'dump_{fmt}_packets_per_s']:,.0f} packets/s ({t[f'dump_{fmt}_ratio']:.2f} x)",
                    ">= 0.8 x",
                    t[f"dump_{fmt}_ratio"] >= 0.8,
                )
            )
        out.append(
            (
                "VmRSS peak of load() over its arrays",
                f"{mem['peak_ratio']:.2f} x ({mem['peak_kib'] / 1024:.0f} MiB for "
                f"{mem['array_bytes'] / 2**20:.0f} MiB)",
                "< 2 x",
                mem["peak_ratio"] < 2,
            )
        )
        dm = t["damage_memory"]
        out.append(
            (
                f"VmRSS peak of load() over a file of {dm['runs']:,} damaged runs",
                f"{dm['peak_ratio']:.2f} x ({dm['peak_kib'] / 1024:.0f} MiB for {dm['file_bytes'] / 2**20:.0f} MiB)",
                "< 2 x",
                dm["peak_ratio"] < 2,
            )
        )
    a = fig.get("analysis")
    if a:
        d, mem = a["dataset"], a["memory"]
        out += [
            (
                f"ahrs-dump --format parquet, {a['packets']:,} packets",
                f"{a['parquet_seconds']:.2f} s, {a['parquet_over_load']:.2f} x load() ({a['load_seconds']:.2f} s)",
                "<= 2 x",
                a["parquet_over_load"] <= 2,
            ),
            (
                f"ahrs-dump --format mcap (ROS 2), {a['packets']:,} packets",
                f"{a['ros2_seconds']:.2f} s, {a['ros2_over_parquet']:.2f} x the Parquet export",
                "<= 2 x",
                a["ros2_over_parquet"] <= 2,
            ),
            (
                "VmRSS peak of the ROS 2 MCAP export",
                f"{mem['ros2_over_load']:.2f} x load()'s ({a['ros2_peak_kib'] / 1024:.0f} MiB)",
                "<= 1.5 x",
                mem["ros2_over_load"] <= 1.5,
            ),
            (
                'VmRSS peak of load(layout="columns") + to_arrow() of every record',
                f"{mem['arrow_over_load']:.2f} x load()'s ({mem['arrow']['peak_kib'] / 1024:.0f} MiB for "
                f"{mem['load']['peak_kib'] / 1024:.0f} MiB)",
                "<= 1.1 x",
                mem["arrow_over_load"] <= 1.1,
            ),
            (
                f"ahrs-dataset, {d['recordings']} recordings of {d['recording_packets']:,} packets",
                f"1 worker {d['workers_1']['total']:.1f} s, 2 workers {d['workers_2']['total']:.1f} s: "
                f"{d['speedup']:.2f} x",
                ">= 1.6 x",
                d["speedup"] >= 1.6,
            ),
            (
                "  the same once the cluster is up",
                f"{d['workers_1']['conversion']:.1f} s, {d['workers_2']['conversion']:.1f} s: "
                f"{d['conversion_speedup']:.2f} x",
                "",
                None,
            ),
        ]
    out += sensor_rows(fig.get("sensor"))
    if fig.get("time"):
        out += bench_time.rows(fig["time"])
    return out


def sensor_rows(sn):
    if not sn:
        return []

    def latency(p):
        return (
            f"median {p['median_us']:,.0f} us, p99 {p['p99_us']:,.0f} us, "
            f"{100 * p['cpu_share']:.1f} % CPU, {p['missing']} missing"
        )

    s, t, r = sn["paced_sensor"], sn["paced_take"], sn["paced_read"]
    ratio = sn["sensor_over_read"]
    busy, it, ar, res = sn["busy"], sn["iteration"], sn["arrays"], sn["resume"]
    return [
        (
            f"Sensor, paced {s['rate']:,}/s: write to the loop",
            latency(s),
            "median <= 100 us, p99 <= 500 us",
            s["median_us"] <= 100 and s["p99_us"] <= 500,
        ),
        (
            "  the process's CPU, the loop included",
            f"{100 * s['cpu_share']:.2f} % of a core",
            "<= 2 %",
            s["cpu_share"] <= 0.02,
        ),
        ("  asyncio: await sensor.aread()", latency(sn["paced_aread"]), "", None),
        ("  BufferedAHRSClient.take(), 1 ms poll", latency(t), "", None),
        ("  AHRSClient.read() loop", latency(r), "", None),
        (
            "  Sensor over the read() loop, side by side",
            f"CPU {ratio['cpu_share']:.2f}x, median latency {ratio['median_us']:.2f}x (medians over"
            f" {len(ratio['median_us_rounds'])} rounds of the two loops back to back; latency by round "
            f"{', '.join(f'{x:.2f}' for x in ratio['median_us_rounds'])})",
            "CPU <= 1.3x, median <= 1.2x",
            ratio["cpu_share"] <= 1.3 and ratio["median_us"] <= 1.2,
        ),
        (
            f"busy Python thread beside a loop at {busy['rate']}/s: for sample in sensor",
            f"{100 * busy['sensor_share']:.0f} % of its speed alone",
            ">= 95 %",
            busy["sensor_share"] >= 0.95,
        ),
        ("  beside the AHRSClient.read() loop", f"{100 * busy['read_share']:.0f} %", "", None),
        (
            f"wakes per sample at {sn['wakes']['sensor']['rate']}/s: for sample in sensor",
            ", ".join(f"{name} {n:.2f}" for name, n in sn["wakes"]["sensor"]["per_sample"].items()),
            "",
            None,
        ),
        (
            "  the AHRSClient.read() loop",
            ", ".join(f"{name} {n:.2f}" for name, n in sn["wakes"]["read"]["per_sample"].items()),
            "",
            None,
        ),
        (
            "Sensor flat out: for sample in sensor",
            f"{it['samples_per_s']:,.0f} samples/s, {it['missing']} missing",
            ">= 150,000/s",
            it["samples_per_s"] >= 150_000,
        ),
        (
            f"Sensor.take_arrays() of {ar['queue']:,} queued samples",
            f"{ar['rows_per_s']:,.0f} rows/s ({ar['samples_per_s']:,.0f} samples/s, "
            f"{ar['records_per_sample']:.0f} records each)",
            ">= 1,000,000 rows/s",
            ar["rows_per_s"] >= 1_000_000,
        ),
        (
            "Sensor: samples again after the device is back",
            f"at most {res['max_s']:.3f} s (median {res['median_s']:.3f} s, away "
            f"{', '.join(f'{a:g}' for a in res['aways'])} s)",
            "<= 0.5 s",
            res["max_s"] <= 0.5,
        ),
    ]


def print_table(lines):
    widths = [max(len(line[i]) for line in lines) for i in range(3)]
    head = ("benchmark", "measured", "goal")
    widths = [max(w, len(h)) for w, h in zip(widths, head)]

    def show(a, b, c, d):
        print(f"{a:<{widths[0]}}  {b:<{widths[1]}}  {c:<{widths[2]}}  {d}")

    show(*head, "met")
    show(*("-" * w for w in widths), "---")
    for name, measured, goal, met in lines:
        show(name, measured, goal, "" if met is None else ("yes" if met else "NO"))


def environment():
    return {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "python": platform.python_version(),
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "load_average": os.getloadavg(),
        "other_busy_processes": harness.other_busy_processes(),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="smaller runs, to see that everything works (figures are rough)"
    )
    parser.add_argument(
        "--only",
        action="append",
        choices=("parse", "read", "live", "memory", "tools", "analysis", "sensor", "time"),
        help="run only these benchmarks (repeatable)",
    )
    parser.add_argument(
        "--json",
        metavar="FILE",
        default=os.path.join(BENCH_DIR, "results.json"),
        help="where the figures go; default bench/results.json",
    )
    opts = parser.parse_args(argv)
    size = QUICK if opts.quick else FULL
    chosen = opts.only or ["parse", "read", "live", "memory", "tools", "analysis", "sensor", "time"]

    missing = harness.module_missing()
    if missing:
        print(
            f"run_bench: cannot import tavrin_ahrs_driver with {sys.executable} ({missing}); run `make install` first",
            file=sys.stderr,
        )
        return 2

    figures = {"environment": environment(), "quick": opts.quick}
    busy = figures["environment"]["other_busy_processes"]
    if busy:
        print(f"note: other busy processes ({', '.join(busy)}): timings will be low", file=sys.stderr)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="ahrs-bench-") as workdir:
        small = os.path.join(workdir, "check.bin")
        make_recording(small, 2000)
        recording = os.path.join(workdir, "stream.bin")
        if {"parse", "read", "memory"} & set(chosen):
            make_recording(recording, size["packets"])
        if "parse" in chosen:
            print("recorded-file decoding ...", file=sys.stderr)
            mismatch = bench_parse.outputs_match(small, workdir)
            if mismatch:
                print(
                    f"run_bench: parse_data_stream_py and the pure-Python decoder disagree: {mismatch}", file=sys.stderr
                )
                return 1
            figures["parse"] = bench_parse.measure(recording, size["packets"], workdir, size["repeat"])
        if "read" in chosen:
            print("AHRSClient.read() ...", file=sys.stderr)
            figures["read"] = bench_read.measure(recording, size["packets"], small, size["repeat"])
        if "live" in chosen:
            print("live pseudo-terminal ...", file=sys.stderr)
            figures["live"] = bench_live.measure(
                workdir, size["live_packets"], size["live_python_packets"], size["paced_seconds"], repeat=size["repeat"]
            )
        if "memory" in chosen:
            print("memory ...", file=sys.stderr)
            figures["memory"] = bench_memory.measure(workdir, recording, size["packets"], size["memory_packets"])
        big = os.path.join(workdir, "tools.bin")
        if {"tools", "analysis"} & set(chosen):
            make_recording(big, size["tools_packets"])
        if "tools" in chosen:
            print("recording tools ...", file=sys.stderr)
            figures["tools"] = bench_tools.measure(big, size["tools_packets"], workdir, size["repeat"])
        if "analysis" in chosen:
            print("analysis outputs: parquet, arrow, dataset ...", file=sys.stderr)
            figures["analysis"] = bench_analysis.measure(
                big, size["tools_packets"], workdir, size["repeat"], size["recordings"], size["recording_packets"]
            )
        if "sensor" in chosen:
            print("Sensor, live ...", file=sys.stderr)
            figures["sensor"] = bench_sensor.measure(
                workdir,
                size["paced_seconds"],
                size["busy_seconds"],
                size["busy_rounds"],
                size["live_packets"],
                size["arrays_queue"],
                size["repeat"],
                paced_rounds=size["paced_rounds"],
            )
        if "time" in chosen:
            print("device time on the host's clock ...", file=sys.stderr)
            figures["time"] = bench_time.measure(workdir, size["time_seconds"])
    figures["seconds"] = time.monotonic() - started

    lines = rows(figures)
    figures["goals_met"] = all(met for *_, met in lines if met is not None)
    print_table(lines)
    with open(opts.json, "w") as f:
        json.dump(figures, f, indent=2)
    print(f"\nfigures in {os.path.relpath(opts.json)}; {figures['seconds']:.0f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
