"""Sensor against the driver's clients, live over a pseudo-terminal.

- Latency at a paced 1,000 packets a second: pty_writer notes when it began
  writing each packet, the loop notes when the sample reached it; the same
  for an asyncio loop awaiting aread(), for BufferedAHRSClient.take()
  polled every millisecond and for the AHRSClient.read() loop. The
  process's CPU share (every thread, the consuming loop included) is taken
  over the same run.
- A busy pure-Python thread's speed alone and beside a loop taking 100
  packets a second: `for sample in sensor`, and AHRSClient.read().
- Wakes: how often each thread wakes per sample at 100 packets a second,
  `for sample in sensor` (the loop and the reader thread) and the read()
  loop.
- Flat out: samples a second through iteration, and rows a second out of
  take_arrays() draining a full queue.
- Resuming: a device behind a symlink is unplugged and comes back as a new
  terminal after a while; how long until samples reach the loop again.
"""

import array
import os
import select
import statistics
import struct
import sys
import threading
import time
import tty

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402
import live_packets  # noqa: E402
from bench_live import Writer  # noqa: E402

WARMUP = 1.0  # seconds of each paced run left out of the figures


def _week_start():
    from tavrin_ahrs_tools import simulated

    return simulated.GPS_WEEK * 604800.0


def _cpu_seconds():
    t = os.times()
    return t.user + t.system


def _watchdog(seconds, close):
    """Ends a loop that would otherwise wait for ever should packets stop."""
    timer = threading.Timer(seconds, close)
    timer.daemon = True
    timer.start()
    return timer


# --- latency and CPU, paced -----------------------------------------------------


def _sensor_loop(path, count, received):
    from tavrin_ahrs_tools import Sensor

    origin = _week_start()
    clock = time.monotonic_ns
    sensor = Sensor(path, configure=False)
    timer = _watchdog(count / 1000 + 30, sensor.close)
    marks = None
    for sample in sensor:
        received.append((round(sample.device_time - origin), clock()))
        if len(received) == int(WARMUP * 1000):
            marks = _cpu_seconds(), time.monotonic()
        if len(received) >= count:
            break
    ends = _cpu_seconds(), time.monotonic()
    sensor.close()
    timer.cancel()
    return marks, ends


def _take_loop(path, count, received, poll=0.001):
    import tavrin_ahrs_driver

    clock, sleep, counter = time.monotonic_ns, time.sleep, live_packets.counter
    reader = tavrin_ahrs_driver.BufferedAHRSClient(path, 115200, 1000, False)
    deadline = time.monotonic() + count / 1000 + 30
    marks = None
    while len(received) < count and time.monotonic() < deadline:
        items = reader.take()
        now = clock()
        for _, snapshot in items:
            received.append((round(counter(snapshot)), now))
        if marks is None and len(received) >= WARMUP * 1000:
            marks = _cpu_seconds(), time.monotonic()
        sleep(poll)
    ends = _cpu_seconds(), time.monotonic()
    del reader
    return marks, ends


def _read_loop(path, count, received):
    import tavrin_ahrs_driver

    clock, counter = time.monotonic_ns, live_packets.counter
    client = tavrin_ahrs_driver.AHRSClient()
    client.open(path, 115200)
    client.start_stream()
    deadline = time.monotonic() + count / 1000 + 30
    marks = None
    with harness.silenced(2):  # a read that waits for nothing says so on stderr
        while len(received) < count and time.monotonic() < deadline:
            snapshot = client.read()
            if snapshot:
                received.append((round(counter(snapshot)), clock()))
                if len(received) == int(WARMUP * 1000):
                    marks = _cpu_seconds(), time.monotonic()
    ends = _cpu_seconds(), time.monotonic()
    del client
    return marks, ends


def _aread_loop(path, count, received):
    import asyncio

    from tavrin_ahrs_tools import Sensor

    origin = _week_start()
    clock = time.monotonic_ns

    async def loop():
        marks = None
        async with Sensor(path, configure=False) as sensor:
            timer = _watchdog(count / 1000 + 30, sensor.close)
            while len(received) < count:
                sample = await sensor.aread()
                if sample is None:
                    break
                received.append((round(sample.device_time - origin), clock()))
                if len(received) == int(WARMUP * 1000):
                    marks = _cpu_seconds(), time.monotonic()
            ends = _cpu_seconds(), time.monotonic()
            timer.cancel()
        return marks, ends

    return asyncio.run(loop())


LOOPS = {"sensor": _sensor_loop, "aread": _aread_loop, "take": _take_loop, "read": _read_loop}


def paced(kind, templates, workdir, seconds, rate=1000):
    """Child: latency from the write of each packet to the loop, and the
    process's CPU share, while `rate` packets a second arrive."""
    count = int(rate * (seconds + WARMUP))
    stamps_path = os.path.join(workdir, f"stamps-{kind}.bin")
    writer = Writer(templates, count, rate, stamps_path)
    received = []
    marks, ends = LOOPS[kind](writer.path, count, received)
    writer.wait()
    written = array.array("q")
    with open(stamps_path, "rb") as f:
        written.frombytes(f.read())
    latencies = sorted(at - written[k] for k, at in received[int(WARMUP * rate) :] if 0 <= k < len(written))
    n = len(latencies)
    return {
        "rate": rate,
        "samples": n,
        "missing": count - len(received),
        "median_us": latencies[n // 2] / 1000 if n else None,
        "p99_us": latencies[min(n - 1, int(n * 0.99))] / 1000 if n else None,
        "max_us": latencies[-1] / 1000 if n else None,
        "cpu_share": (ends[0] - marks[0]) / (ends[1] - marks[1]) if marks else None,
    }


# --- a busy pure-Python thread beside the loop ----------------------------------


class Busy:
    """A pure-Python thread counting as fast as it can."""

    def __init__(self):
        self.running = [True]
        self.count = 0
        self.thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self):
        running, n = self.running, 0
        started = time.perf_counter()
        while running[0]:
            n += 1
        self.rate = n / (time.perf_counter() - started)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running[0] = False
        self.thread.join()


def _beside(kind, templates, seconds, rate):
    """The busy thread's count a second while `kind` takes `rate` packets a second."""
    if kind == "alone":
        with Busy() as busy:
            time.sleep(seconds)
        return busy.rate
    import tavrin_ahrs_driver
    from tavrin_ahrs_tools import Sensor

    writer = Writer(templates, int(rate * (seconds + 5)), rate)
    end = None
    if kind == "sensor":
        sensor = Sensor(writer.path, configure=False)
        sensor.read()  # streaming
        with Busy() as busy:
            end = time.monotonic() + seconds
            for _ in sensor:
                if time.monotonic() >= end:
                    break
        sensor.close()
    else:
        client = tavrin_ahrs_driver.AHRSClient()
        client.open(writer.path, 115200)
        client.start_stream()
        with harness.silenced(2):
            while not client.read():
                pass
            with Busy() as busy:
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    client.read()
        del client
    writer.proc.kill()
    writer.wait()
    return busy.rate


def busy_thread(templates, seconds, rounds, rate=100):
    """Child: the busy thread's speed alone and beside each loop, in turns."""
    speeds = {"alone": [], "sensor": [], "read": []}
    for _ in range(rounds):
        for kind in speeds:
            speeds[kind].append(_beside(kind, templates, seconds, rate))
    alone = statistics.median(speeds["alone"])
    return {
        "rate": rate,
        "speeds": speeds,
        **{f"{kind}_share": statistics.median(speeds[kind]) / alone for kind in ("sensor", "read")},
    }


# --- wakes per sample -------------------------------------------------------------


def _switches(tid):
    """Context switches of one thread of this process so far."""
    with open(f"/proc/self/task/{tid}/status") as f:
        fields = dict(line.split(":\t") for line in f.read().splitlines() if "ctxt_switches" in line)
    return int(fields["voluntary_ctxt_switches"]) + int(fields["nonvoluntary_ctxt_switches"])


def wakes(kind, templates, seconds, rate=100):
    """Child: how often each thread of the process wakes per sample while a
    loop takes `rate` packets a second: {thread: wakes per sample}."""
    import tavrin_ahrs_driver
    from tavrin_ahrs_tools import Sensor

    count = int(rate * (seconds + 2))
    writer = Writer(templates, count, rate)
    before = set(os.listdir("/proc/self/task"))
    if kind == "sensor":
        sensor = Sensor(writer.path, configure=False)
        samples = iter(sensor)
    else:
        client = tavrin_ahrs_driver.AHRSClient()
        client.open(writer.path, 115200)
        client.start_stream()
        samples = iter(lambda: client.read() or None, object())  # empty reads are not samples
    threads = {"loop": threading.get_native_id()}
    for tid in set(os.listdir("/proc/self/task")) - before:  # the Sensor's reader; none beside read()
        threads["reader thread"] = int(tid)
    with harness.silenced(2):
        for _ in range(rate):  # a second to settle
            next(samples)
        start = {name: _switches(tid) for name, tid in threads.items()}
        n = 0
        while n < rate * seconds:
            n += next(samples) is not None
        per_sample = {name: (_switches(tid) - start[name]) / n for name, tid in threads.items()}
    if kind == "sensor":
        sensor.close()
    writer.proc.kill()
    writer.wait()
    return {"rate": rate, "samples": n, "per_sample": per_sample}


# --- flat out ---------------------------------------------------------------------


def iteration(templates, count):
    """Child: samples a second through `for sample in sensor`, flat out."""
    from tavrin_ahrs_tools import Sensor

    writer = Writer(templates, count)
    sensor = Sensor(writer.path, configure=False)
    timer = _watchdog(120, sensor.close)
    n, first, clock = 0, None, time.perf_counter
    for _ in sensor:
        n += 1
        if n == 1:
            first = clock()
        elif n == count:
            break
    last = clock()
    stats = sensor.stats
    sensor.close()
    timer.cancel()
    writer.wait()
    return {
        "samples": n,
        "samples_per_s": (n - 1) / (last - first),
        "damaged_runs": stats["damaged_runs"],
        "missing": count - n,
    }


def _wait_queued(sensor, n, timeout=60.0):
    deadline = time.monotonic() + timeout
    while sensor.stats["queued"] < n:
        if time.monotonic() > deadline:
            raise RuntimeError(f"the queue holds {sensor.stats['queued']} of {n}")
        time.sleep(0.02)


def arrays(templates, queue, repeat):
    """Child: how fast take_arrays() empties a full queue."""
    from tavrin_ahrs_tools import Sensor

    writer = Writer(templates, queue * repeat)
    sensor = Sensor(writer.path, configure=False, queue=queue)
    runs = []
    for _ in range(repeat):
        _wait_queued(sensor, queue)
        started = time.perf_counter()
        tables = sensor.take_arrays()
        took = time.perf_counter() - started
        samples = sum(len(t) for name, t in tables.items() if name in ("GPSCorrelationTimestamp", "GPSTimestamp"))
        rows = sum(len(t) for t in tables.values())
        runs.append({"samples": samples, "rows": rows, "seconds": took})
        del tables
    sensor.close()
    writer.wait()
    best = min(runs, key=lambda r: r["seconds"] / r["samples"])
    return {
        "queue": queue,
        "runs": runs,
        "samples_per_s": best["samples"] / best["seconds"],
        "rows_per_s": best["rows"] / best["seconds"],
        "records_per_sample": best["rows"] / best["samples"],
    }


# --- resuming after the device comes back ---------------------------------------


class Device:
    """A sensor behind a symlink that can be unplugged and plugged back in:
    a new pseudo-terminal each time, as udev gives a new tty and moves the
    by-id link; a thread writes `rate` packets a second while it is plugged."""

    def __init__(self, directory, rate=1000):
        self.link = os.path.join(directory, "usb-sensor-if00")
        self.period = 1.0 / rate
        self.templates = [bytearray(raw) for raw, _ in live_packets.templates()]
        self.counter_at = [at for _, at in live_packets.templates()]
        self.master = None
        self.lock = threading.Lock()
        self.running = True
        self.k = 0
        self.plug()
        self.thread = threading.Thread(target=self._stream, daemon=True)
        self.thread.start()

    def plug(self):
        """Plugs a new terminal in; returns time.monotonic_ns() of the moment before."""
        at = time.monotonic_ns()
        master, slave = os.openpty()
        tty.setraw(slave)
        path = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(master, False)
        os.symlink(path, self.link + ".new")
        os.replace(self.link + ".new", self.link)
        with self.lock:
            self.master = master
        return at

    def unplug(self):
        with self.lock:
            master, self.master = self.master, None
        os.close(master)

    def _packet(self):
        k = self.k
        raw = self.templates[k % 2]
        struct.pack_into(">d", raw, self.counter_at[k % 2], float(k))
        a = b = 0
        for byte in memoryview(raw)[:-2]:
            a = (a + byte) & 0xFF
            b = (b + a) & 0xFF
        raw[-2], raw[-1] = a, b
        self.k += 1
        return raw

    def _stream(self):
        due = time.monotonic()
        while self.running:
            due += self.period
            time.sleep(max(0.0, due - time.monotonic()))
            with self.lock:
                if self.master is None:
                    continue
                try:
                    os.write(self.master, self._packet())
                    select.select([self.master], [], [], 0)
                    os.read(self.master, 4096)  # commands: nobody answers them
                except OSError:  # no reader yet, or nothing to read
                    pass

    def close(self):
        self.running = False
        self.thread.join()
        if self.master is not None:
            self.unplug()


def resume(workdir, aways, configure=True):
    """Child: seconds from the device coming back to the first sample after it."""
    from tavrin_ahrs_tools import Sensor

    device = Device(workdir)
    sensor = Sensor(device.link, configure=configure)
    timer = _watchdog(60 + 10 * sum(aways), sensor.close)
    origin = _week_start()
    times = []
    try:
        for away in aways:
            while sensor.read(1.0) is None:
                pass
            device.unplug()
            time.sleep(away)
            last = device.k
            back_at = device.plug()
            while True:
                sample = sensor.read(5.0)
                if sample is None:
                    raise RuntimeError(f"no sample within 5 s of the device coming back: {sensor.error}")
                if round(sample.device_time - origin) >= last:
                    break
            times.append((time.monotonic_ns() - back_at) / 1e9)
        reconnects = sensor.stats["reconnects"]
    finally:
        timer.cancel()
        sensor.close()
        device.close()
    return {
        "aways": aways,
        "seconds": times,
        "max_s": max(times),
        "median_s": statistics.median(times),
        "reconnects": reconnects,
    }


def _medians(runs):
    """One paced figure from several runs: the median of each measure, the
    runs themselves kept beside it."""
    merged = {**runs[0], "runs": runs, "missing": max(run["missing"] for run in runs)}
    for key in ("median_us", "p99_us", "max_us", "cpu_share"):
        values = [run[key] for run in runs if run[key] is not None]
        merged[key] = statistics.median(values) if values else None
    return merged


def _ratios(runs, against):
    """Round by round, each measure of `runs` over the same round's of
    `against`; the median of each over the rounds, the rounds kept beside."""
    out = {}
    for key in ("median_us", "cpu_share"):
        ratios = [a[key] / b[key] for a, b in zip(runs, against) if a[key] and b[key]]
        out[key] = statistics.median(ratios) if ratios else None
        out[f"{key}_rounds"] = ratios
    return out


# --- all of it --------------------------------------------------------------------


def measure(
    workdir,
    paced_seconds=10.0,
    busy_seconds=2.0,
    busy_rounds=3,
    flat_count=400_000,
    queue=200_000,
    repeat=3,
    aways=(0.1, 0.6, 1.5, 3.0),
    paced_rounds=5,
):
    templates = os.path.join(workdir, "live-templates.bin")
    live_packets.write_templates(templates)
    figures = {"packet_bytes": live_packets.mean_size()}
    # The loops take turns, round after round, so that a machine whose speed
    # wanders (other work, a host taking its cores back) weighs on each alike;
    # each figure is the median over the rounds. The Sensor and the read()
    # loop run back to back, which first alternating, and are compared round
    # by round, so that a drift between rounds cancels out of their ratio.
    runs = {kind: [] for kind in LOOPS}
    for round_ in range(paced_rounds):
        pair = ["sensor", "read"] if round_ % 2 == 0 else ["read", "sensor"]
        for kind in pair + [kind for kind in LOOPS if kind not in pair]:
            run, _ = harness.run_child(
                "bench_sensor", "paced", kind=kind, templates=templates, workdir=workdir, seconds=paced_seconds
            )
            runs[kind].append(run)
    for kind, kind_runs in runs.items():
        figures[f"paced_{kind}"] = _medians(kind_runs)
    figures["sensor_over_read"] = _ratios(runs["sensor"], runs["read"])
    figures["busy"], _ = harness.run_child(
        "bench_sensor", "busy_thread", templates=templates, seconds=busy_seconds, rounds=busy_rounds
    )
    figures["wakes"] = {
        kind: harness.run_child("bench_sensor", "wakes", kind=kind, templates=templates, seconds=busy_seconds * 2)[0]
        for kind in ("sensor", "read")
    }
    figures["iteration"], _ = harness.run_child("bench_sensor", "iteration", templates=templates, count=flat_count)
    figures["arrays"], _ = harness.run_child("bench_sensor", "arrays", templates=templates, queue=queue, repeat=repeat)
    figures["resume"], _ = harness.run_child("bench_sensor", "resume", workdir=workdir, aways=list(aways))
    return figures
