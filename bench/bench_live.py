"""Live throughput over a pseudo-terminal, and the reader's cost when paced.

A native writer (pty_writer.cpp) streams ~140-byte counted packets as fast as
the terminal takes them; the reader under test reads them on its thread and
the main thread drains take(), checking that the counters run 0, 1, 2, ...
with none missing.  The same is done with a plain pure-Python reader thread.
Paced at 1,000 packets a second, the reader thread's CPU time is read from
/proc (utime + stime) over the run.
"""

import os
import subprocess
import sys
import threading
import time
from operator import itemgetter

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402
import live_packets  # noqa: E402

SENSOR_FIELD = itemgetter("GPSCorrelationTimestamp")
SENSOR_COUNTER = itemgetter("gps_time_of_week")
FILTER_FIELD = itemgetter("GPSTimestamp")
FILTER_COUNTER = itemgetter("time_of_week")

SMALL_BATCH = 128  # fewer items than this: the queue is nearly empty, rest a little
REST_SECONDS = 0.001


class Writer:
    """pty_writer in a child process; `path` is the terminal to open."""

    def __init__(self, templates, count, rate=0, stamps=None):
        self.proc = subprocess.Popen(
            [harness.native_tool("pty_writer"), templates, str(count), str(rate), *([stamps] if stamps else [])],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        self.path = self.proc.stdout.readline().strip()

    def wait(self):
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def open_reader(kind, path, buffer_size):
    """(reader, its thread's id): the module's buffered client or the baseline."""
    if kind == "native":
        import tavrin_ahrs_driver

        before = set(os.listdir("/proc/self/task"))
        reader = tavrin_ahrs_driver.BufferedAHRSClient(path, 115200, buffer_size, False)
        started = set(os.listdir("/proc/self/task")) - before
        return reader, int(started.pop()) if len(started) == 1 else None
    import py_reader

    reader = py_reader.PurePythonReader(path, buffer_size)
    return reader, reader.native_id


def close_reader(reader):
    if hasattr(reader, "close"):
        reader.close()


class Tally:
    """Follows the running counters of the snapshots taken.

    Packet k is a sensor packet when k is even, a filter packet when odd.
    The check runs in C-level loops (map, slices, list equality) so that it
    costs the drain loop little; a batch that is not exactly the next run of
    counters is gone through one by one to count what is missing.
    """

    def __init__(self):
        self.expected = 0
        self.received = 0
        self.missing = 0
        self.out_of_order = 0

    def add(self, items):
        n = len(items)
        if not n:
            return
        start = self.expected
        snapshots = list(map(itemgetter(1), items))
        sensors, filters = (snapshots[0::2], snapshots[1::2]) if start % 2 == 0 else (snapshots[1::2], snapshots[0::2])
        first_sensor = start + start % 2
        try:
            in_order = list(map(SENSOR_COUNTER, map(SENSOR_FIELD, sensors))) == list(
                map(float, range(first_sensor, start + n, 2))
            ) and list(map(FILTER_COUNTER, map(FILTER_FIELD, filters))) == list(
                map(float, range(first_sensor + 1 - 2 * (start % 2), start + n, 2))
            )
        except KeyError:
            in_order = False
        if in_order:
            self.expected = start + n
            self.received += n
        else:
            self._add_one_by_one(snapshots)

    def _add_one_by_one(self, snapshots):
        expected = self.expected
        for snapshot in snapshots:
            k = live_packets.counter(snapshot)
            if k is None or k < expected:
                self.out_of_order += 1
                continue
            self.missing += int(k - expected)
            expected = int(k) + 1
        self.expected = expected
        self.received += len(snapshots)

    def close(self, count):
        self.missing += max(0, count - self.expected)


def thread_cpu(tid):
    """(utime + stime in seconds, on-CPU seconds from schedstat) of a thread."""
    with open(f"/proc/self/task/{tid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    with open(f"/proc/self/task/{tid}/schedstat") as f:
        on_cpu_ns = int(f.read().split()[0])
    return ticks / os.sysconf("SC_CLK_TCK"), on_cpu_ns / 1e9


def throughput(kind, templates, count, buffer_size, limit_seconds):
    """Child: packets per second from the first to the last packet taken."""
    writer = Writer(templates, count)
    reader, tid = open_reader(kind, writer.path, buffer_size)
    main_tid = threading.get_native_id()
    cpu_before = thread_cpu(tid)[1], thread_cpu(main_tid)[1]
    tally = Tally()
    take, sleep, clock = reader.take, time.sleep, time.perf_counter
    first_at = last_at = None
    first_batch = 0
    deadline = clock() + limit_seconds
    while tally.received < count:
        items = take()
        now = clock()
        if items:
            if first_at is None:
                first_at, first_batch = now, len(items)
            last_at = now
            tally.add(items)
        if now > deadline:
            break
        if len(items) < SMALL_BATCH:
            sleep(REST_SECONDS)
    cpu_used = [after - before for before, after in zip(cpu_before, (thread_cpu(tid)[1], thread_cpu(main_tid)[1]))]
    close_reader(reader)
    del reader, take  # the bound method holds the client too
    writer.wait()
    tally.close(count)
    timed = tally.received - first_batch
    seconds = (last_at - first_at) if first_at is not None else 0.0
    received = max(tally.received, 1)
    return {
        "reader_thread_us_per_packet": 1e6 * cpu_used[0] / received,
        "main_thread_us_per_packet": 1e6 * cpu_used[1] / received,
        "packets": tally.received,
        "seconds": seconds,
        "packets_per_s": timed / seconds if seconds > 0 else 0.0,
        "missing": tally.missing,
        "out_of_order": tally.out_of_order,
    }


def paced_cpu(kind, templates, rate, seconds, buffer_size, warmup=1.0, poll=0.01):
    """Child: the reader thread's CPU share while packets arrive at `rate`."""
    count = int(rate * (seconds + warmup))
    writer = Writer(templates, count, rate)
    reader, tid = open_reader(kind, writer.path, buffer_size)
    tally = Tally()
    start = None
    clock = time.perf_counter
    deadline = clock() + seconds + warmup + 10
    while tally.received < count and clock() < deadline:
        tally.add(reader.take())
        if start is None and tally.received >= rate * warmup:
            start = clock(), thread_cpu(tid)
        time.sleep(poll)
    end = clock(), thread_cpu(tid)
    close_reader(reader)
    del reader
    writer.wait()
    tally.close(count)
    wall = end[0] - start[0]
    return {
        "rate": rate,
        "seconds": wall,
        "cpu_share": (end[1][0] - start[1][0]) / wall,
        "cpu_share_schedstat": (end[1][1] - start[1][1]) / wall,
        "packets": tally.received,
        "missing": tally.missing,
    }


def measure(workdir, count=400_000, python_count=60_000, paced_seconds=10.0, buffer_size=1000, repeat=3):
    templates = os.path.join(workdir, "live-templates.bin")
    live_packets.write_templates(templates)
    runs = [
        harness.run_child(
            "bench_live",
            "throughput",
            kind="native",
            templates=templates,
            count=count,
            buffer_size=buffer_size,
            limit_seconds=60,
        )[0]
        for _ in range(repeat)
    ]
    native = max(runs, key=lambda r: r["packets_per_s"])
    native["missing_in_any_run"] = sum(r["missing"] + r["out_of_order"] for r in runs)
    native["runs_packets_per_s"] = [r["packets_per_s"] for r in runs]
    python, _ = harness.run_child(
        "bench_live",
        "throughput",
        kind="python",
        templates=templates,
        count=python_count,
        buffer_size=buffer_size,
        limit_seconds=120,
    )
    paced, _ = harness.run_child(
        "bench_live",
        "paced_cpu",
        kind="native",
        templates=templates,
        rate=1000,
        seconds=paced_seconds,
        buffer_size=1000,
    )
    return {
        "packet_bytes": live_packets.mean_size(),
        "buffer_size": buffer_size,
        "native": native,
        "python": python,
        "ratio_to_python": native["packets_per_s"] / python["packets_per_s"],
        "paced": paced,
    }
