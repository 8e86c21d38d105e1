"""Sensor on real pseudo-terminals: the test plays the device on the master
side, or the simulator does, and pulls the plug by closing its terminal."""

import asyncio
import errno
import math
import os
import select
import signal
import subprocess
import sys
import threading
import time
import tty
from pathlib import Path

import pytest
from conftest import ASAN_HEAP, installed_script, simulator_recording, write_all
from mip import CONFIGURE, SENSOR, acc, packet

import tavrin_ahrs_driver
from tavrin_ahrs_tools import Sensor, info, list_ports, load, timeline
from tavrin_ahrs_tools.frames import field

WEEK = 2345


def stamped(i: int) -> bytes:
    """Sensor packet number `i`: its GPS time says which one it is, and its
    acceleration repeats the number so that a garbled sample shows."""
    return packet(SENSOR, acc(float(i), -float(i), 0.5) + field(0x12, "dHH", 1000.0 + i / 100, WEEK, 0))


def number(sample) -> int:
    """The packet number a sample carries, checked against its own copy."""
    i = round((sample.device_time - WEEK * 604800 - 1000.0) * 100)
    assert sample["ScaledAccVector"] == {"x": float(i), "y": -float(i), "z": 0.5}
    return i


class Plug:
    """A device that can be unplugged and plugged back in: a pseudo-terminal
    behind a symlink, as udev keeps /dev/serial/by-id, replaced by a new one
    (a new /dev/pts number) on replug."""

    def __init__(self, directory):
        self.link = os.path.join(directory, "usb-sensor")
        self.master = None
        self.plug()

    def plug(self):
        self.master, slave = os.openpty()
        tty.setraw(self.master)
        tmp = self.link + ".new"
        os.symlink(os.ttyname(slave), tmp)
        os.replace(tmp, self.link)
        os.close(slave)

    def unplug(self):
        os.close(self.master)
        self.master = None

    def send(self, data: bytes):
        write_all(self.master, data)

    def received(self, n: int) -> bytes:
        data = b""
        while len(data) < n and select.select([self.master], [], [], 30)[0]:
            data += os.read(self.master, n - len(data))
        return data

    def close(self):
        if self.master is not None:
            self.unplug()


@pytest.fixture
def plug(tmp_path):
    p = Plug(tmp_path)
    yield p
    p.close()


def untouched(master):
    """Nothing was written to the device: at most the hang-up of an open and close."""
    if not select.select([master], [], [], 0.3)[0]:
        return True
    try:
        return os.read(master, 1) == b""
    except OSError as e:
        return e.errno == errno.EIO


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def take(sensor, n, timeout=60.0):
    out = []
    deadline = time.monotonic() + timeout
    while len(out) < n and time.monotonic() < deadline:
        s = sensor.read(timeout=0.2)
        if s is not None:
            out.append(s)
    return out


class TestOpening:
    def test_missing_device_names_the_ports_present(self, tmp_path):
        path = str(tmp_path / "ttyACM9")
        with pytest.raises(FileNotFoundError) as e:
            Sensor(path)
        assert (e.value.errno, e.value.filename) == (errno.ENOENT, path)
        present = [p.device for p in list_ports()]
        assert all(d in str(e.value) for d in present)
        assert ("serial ports present" if present else "no serial ports found") in str(e.value)

    def test_device_in_use_is_busy_until_closed(self, plug):
        first = Sensor(plug.link, configure=False)
        with pytest.raises(OSError) as e:
            Sensor(plug.link, configure=False)
        assert (e.value.errno, e.value.filename) == (errno.EBUSY, plug.link)
        first.close()
        Sensor(plug.link, configure=False).close()  # free again at once

    def test_device_without_permission(self, tmp_path, plug):
        # As root, the device is opened by an unprivileged user; otherwise a
        # path its owner may not open stands in for it.
        path = plug.link
        if os.geteuid() == 0:
            os.chmod(os.path.realpath(plug.link), 0o600)
        else:
            path = str(tmp_path / "locked")
            open(path, "w").close()
            os.chmod(path, 0)
        code = (
            "import os, sys\nfrom tavrin_ahrs_tools import Sensor\n"
            "if os.geteuid() == 0: os.setuid(65534)\n"
            "try:\n    Sensor(sys.argv[1])\nexcept PermissionError as e:\n    print(e.errno, e.filename)\n"
        )
        out = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, timeout=30)
        assert out.stdout.split() == [str(errno.EACCES), path], out.stderr

    def test_recording_that_cannot_be_opened_fails_and_frees_the_device(self, tmp_path, plug):
        record = str(tmp_path / "no" / "such" / "flight.bin")
        with pytest.raises(FileNotFoundError) as e:
            Sensor(plug.link, record=record)
        assert e.value.filename == record
        Sensor(plug.link).close()

    def test_a_start_that_fails_on_the_device_leaves_the_recording_as_it_was(self, tmp_path):
        kept, new = tmp_path / "kept.bin", tmp_path / "new.bin"
        kept.write_bytes(b"an earlier flight")
        for record in (kept, new):
            with pytest.raises(FileNotFoundError):
                Sensor(str(tmp_path / "no-such-port"), record=str(record))
        assert kept.read_bytes() == b"an earlier flight"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["kept.bin"]

    @pytest.mark.parametrize(
        "kwargs, error, word",
        [
            ({"port": 7}, TypeError, "port"),
            ({"baud": "115200"}, TypeError, "baud"),
            ({"baud": 0}, ValueError, "baud"),
            ({"configure": 1}, TypeError, "configure"),
            ({"queue": 0}, ValueError, "queue"),
            ({"overflow": "newest"}, ValueError, "overflow"),
            ({"reconnect": None}, TypeError, "reconnect"),
            ({"record": 3.5}, TypeError, "record"),
            ({"record": "innocent\0/../x"}, ValueError, "record"),
            ({"port": "/dev/ptmx\0x"}, ValueError, "port"),
        ],
    )
    def test_bad_arguments_name_themselves(self, plug, kwargs, error, word):
        kwargs = {"port": plug.link, **kwargs}
        with pytest.raises(error, match=word):
            Sensor(**kwargs)

    @pytest.mark.parametrize("way", ["link", "terminal", "link to the link"])
    def test_recording_into_the_port_itself_is_refused_untouched(self, tmp_path, plug, way):
        record = {
            "link": plug.link,
            "terminal": os.path.realpath(plug.link),
            "link to the link": str(tmp_path / "again"),
        }[way]
        if way == "link to the link":
            os.symlink(plug.link, record)
        with pytest.raises(ValueError, match="port"):
            Sensor(plug.link, record=record)
        assert untouched(plug.master)  # not even configured
        Sensor(plug.link, configure=False).close()

    def test_recording_into_a_fifo_nobody_reads_fails_before_the_device(self, tmp_path, plug):
        fifo = str(tmp_path / "fifo")
        os.mkfifo(fifo)
        raised = []

        def start():
            try:
                Sensor(plug.link, record=fifo)
            except OSError as e:
                raised.append(e)

        opener = threading.Thread(target=start, daemon=True)
        opener.start()
        opener.join(timeout=10)
        assert not opener.is_alive(), "the constructor waited for a reader"
        assert [(e.errno, e.filename) for e in raised] == [(errno.ENXIO, fifo)]
        assert untouched(plug.master)

    def test_no_descriptor_left_is_an_error_not_a_crash(self, plug):
        code = (
            "import os, resource, sys\nfrom tavrin_ahrs_tools import Sensor\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))\n"
            "held = []\ntry:\n    while True: held.append(os.open(os.devnull, os.O_RDONLY))\n"
            "except OSError:\n    pass\n"
            "try:\n    Sensor(sys.argv[1])\nexcept OSError as e:\n    print(e.errno)\n"
            # Given back for what runs at exit (the leak check of the memory-safety run reads /proc).
            "for fd in held: os.close(fd)\n"
        )
        env = None
        if ASAN_HEAP:
            # The sanitizer's check of an object's type reads its memory
            # through a pipe of its own: with no descriptor left, it reports
            # every object it cannot look at. Those reports are let through;
            # any other stays an error.
            env = {**os.environ, "UBSAN_OPTIONS": os.environ.get("UBSAN_OPTIONS", "") + ":halt_on_error=0"}
        out = subprocess.run(
            [sys.executable, "-c", code, plug.link], capture_output=True, text=True, timeout=60, env=env
        )
        assert (out.returncode, out.stdout.split()) == (0, [str(errno.EMFILE)]), out.stderr
        assert out.stderr.count("runtime error:") == out.stderr.count("<memory cannot be printed>"), out.stderr

    def test_largest_queue_costs_only_what_it_holds(self, plug):
        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        before = resident()
        with Sensor(plug.link, queue=2**24) as s:
            assert resident() - before < 64 << 20
            plug.send(stamped(1))
            assert number(s.read(timeout=5)) == 1

    def test_closed_sensor_refuses_calls(self, plug):
        with Sensor(plug.link) as s:
            assert (s.status, s.closed, s.port) == ("streaming", False, plug.link)
        assert (s.status, s.closed) == ("closed", True)
        s.close()
        for call in (s.read, s.latest, s.take_arrays, lambda: iter(s)):
            with pytest.raises(ValueError):
                call()


class TestReceiving:
    def test_samples_in_order_with_times_latest_and_arrays(self, plug):
        with Sensor(plug.link, configure=False) as s:
            assert s.read(timeout=0.05) is None and s.latest() is None
            before = time.monotonic_ns()
            plug.send(b"".join(stamped(i) for i in range(10)))
            got = take(s, 10)
            assert [number(x) for x in got] == list(range(10))
            assert all(before <= x.host_ns <= time.monotonic_ns() for x in got)
            assert abs(got[0].wall_ns - time.time_ns()) < 10e9
            assert number(s.latest()) == 9 and s.read(timeout=0) is None
            plug.send(b"".join(stamped(i) for i in range(10, 15)))
            wait_for(lambda: s.stats["queued"] == 5)
            arrays = s.take_arrays()
            acc_rows = arrays["ScaledAccVector"]
            assert list(acc_rows["x"]) == [10.0, 11.0, 12.0, 13.0, 14.0]
            assert list(acc_rows["packet"]) == list(range(10, 15))
            assert list(acc_rows["time"]) == [WEEK * 604800.0 + (1000.0 + i / 100) for i in range(10, 15)]
            assert list(acc_rows["offset"]) == [len(stamped(0)) * i for i in range(10, 15)]
            assert (acc_rows["host_ns"] >= got[-1].host_ns).all()
            # The clock model needs a few stamps before it maps any; never
            # later than the arrival, and the arrays carry the same.
            assert [x.time_ns for x in got[:3]] == [None] * 3
            assert all(x.time_ns <= x.host_ns for x in got[3:])
            assert (acc_rows["time_ns"] > 0).all() and (acc_rows["time_ns"] <= acc_rows["host_ns"].astype("i8")).all()
            assert set(arrays) == {"ScaledAccVector", "GPSCorrelationTimestamp"}
            assert s.take_arrays() == {}

    def test_readings_are_what_read_gives(self, tmp_path, plug):
        recording = simulator_recording(tmp_path / "sim.bin", 1)
        client = tavrin_ahrs_driver.AHRSClient()
        client.open_file(str(recording))
        expected = [client.read() for _ in range(200)]
        with Sensor(plug.link, configure=False) as s:
            plug.send(recording.read_bytes())
            got = take(s, 200)
        assert [x.readings for x in got] == [{k: v for k, v in e.items() if k != "type"} for e in expected]
        assert [x.set for x in got] == [
            {"sensor": "DataSensor", "estimate": "DataEstimationFilter"}[e["type"]] for e in expected
        ]

    @pytest.mark.parametrize("overflow", ["block", "drop-oldest"])
    def test_full_queue(self, plug, overflow):
        with Sensor(plug.link, configure=False, queue=4, overflow=overflow) as s:
            plug.send(b"".join(stamped(i) for i in range(20)))
            if overflow == "block":
                wait_for(lambda: s.stats["queued"] == 4)
                assert [number(x) for x in take(s, 20)] == list(range(20))
                assert s.stats["dropped"] == 0
            else:
                wait_for(lambda: s.stats["packets"].get("DataSensor") == 20)
                assert [number(x) for x in take(s, 4)] == list(range(16, 20))
                assert (s.stats["dropped"], s.stats["max_queued"]) == (16, 4)

    def test_data_that_settle_no_conventions_are_looked_at_less_and_less(self, plug, monkeypatch):
        conventions = sys.modules["tavrin_ahrs_tools.conventions"]
        looks = []
        detect = conventions.detect
        monkeypatch.setattr(conventions, "detect", lambda *a: looks.append(1) or detect(*a))
        # The quaternion and the Euler angles of one attitude disagree under every convention.
        disagreeing = packet(SENSOR, acc(0, 0, 1) + field(0x0A, "ffff", 1, 0, 0, 0) + field(0x0C, "fff", 1, 1, 1))
        with Sensor(plug.link, configure=False) as s:
            plug.send(disagreeing * 300)
            assert len(take(s, 300)) == 300
            assert s.conventions is None and 1 <= len(looks) <= 12

    def test_counters_of_damage(self, plug):
        good = stamped(1)
        bad_sum = good[:-1] + bytes([good[-1] ^ 1])
        with Sensor(plug.link, configure=False) as s:
            plug.send(b"junk" + good + bad_sum + stamped(2))
            assert [number(x) for x in take(s, 2)] == [1, 2]
            wait_for(lambda: s.stats["timeouts"] > 0)
            stats = s.stats
        assert stats["damaged_runs"] == 2 and stats["skipped_bytes"] == 4 + len(bad_sum)
        assert stats["checksum_failures"] == 1 and stats["bytes"] == 4 + 3 * len(good)
        assert set(stats) == {
            "packets",
            "bytes",
            "skipped_bytes",
            "damaged_runs",
            "checksum_failures",
            "timeouts",
            "dropouts",
            "dropped",
            "reconnects",
            "queued",
            "max_queued",
            "recorded_bytes",
            "record_error",
        }

    def test_dropouts_counted_as_ahrs_info_counts_them(self, tmp_path, plug):
        np = pytest.importorskip("numpy")
        recording = tmp_path / "damaged.bin"
        subprocess.run(
            [
                installed_script("ahrs-sim"),
                "--record",
                str(recording),
                "--seconds",
                "20",
                "--corrupt-rate",
                "0.003",
                "--seed",
                "5",
            ],
            check=True,
            capture_output=True,
        )
        rec = load(recording)
        expected = {}
        for set_name, clock in (("DataSensor", "GPSCorrelationTimestamp"), ("DataEstimationFilter", "GPSTimestamp")):
            steps = np.diff(timeline.clock_times(rec.records[clock], clock))
            expected[set_name] = int((steps > info.DROPOUT_FACTOR * np.median(steps[steps > 0])).sum())
        assert sum(expected.values()) > 0
        with Sensor(plug.link, configure=False, overflow="drop-oldest") as s:
            plug.send(recording.read_bytes())
            wait_for(lambda: s.stats["bytes"] == recording.stat().st_size)
            wait_for(lambda: sum(s.stats["packets"].values()) == rec.packets)
            stats = s.stats
        assert stats["dropouts"] == expected
        assert (stats["damaged_runs"], stats["skipped_bytes"]) == (len(rec.damaged), rec.skipped_bytes)

    def test_dropouts_count_gaps_in_the_gps_clock(self, plug):
        numbers = [i for i in range(40) if i not in (20, 21, 30)]
        with Sensor(plug.link, configure=False) as s:
            plug.send(b"".join(stamped(i) for i in numbers))
            take(s, len(numbers))
            assert s.stats["dropouts"] == {"DataSensor": 2}


class TestRecording:
    def test_recording_equals_the_bytes_sent(self, tmp_path, plug):
        sent = b"".join(stamped(i) for i in range(50)) + b"\x75\x65\x80"
        record = tmp_path / "flight.bin"
        # A consumer that never takes anything loses samples, not bytes.
        with Sensor(plug.link, record=record, queue=2, overflow="drop-oldest") as s:
            for i in range(0, len(sent), 97):
                plug.send(sent[i : i + 97])
            wait_for(lambda: s.stats["recorded_bytes"] == len(sent))
            assert s.stats["record_error"] is None
        assert record.read_bytes() == sent

    def test_write_failure_stops_the_recording_not_the_stream(self, plug):
        with Sensor(plug.link, record="/dev/full") as s:
            plug.send(stamped(1))
            plug.send(stamped(2))
            assert [number(x) for x in take(s, 2)] == [1, 2]
            assert "No space left on device" in s.stats["record_error"]
            assert s.stats["recorded_bytes"] == 0 and s.error == s.stats["record_error"]
            assert s.status == "streaming"

    def test_host_times_of_each_read_beside_the_recording(self, tmp_path, plug):
        record = tmp_path / "flight.bin"
        chunks = [b"".join(stamped(i) for i in range(k, k + 3)) for k in range(0, 12, 3)]
        start = time.monotonic_ns()
        with Sensor(plug.link, record=record) as s:
            for n, chunk in enumerate(chunks, 1):
                plug.send(chunk)  # one chunk waited for at a time: a read of its own at least
                sent = sum(map(len, chunks[:n]))
                wait_for(lambda sent=sent: s.stats["recorded_bytes"] == sent)
        end = time.monotonic_ns()
        entries = decode_times((tmp_path / "flight.bin.times").read_bytes())
        offsets = [e[0] for e in entries]
        assert offsets == sorted(set(offsets)) and offsets[-1] == len(record.read_bytes())
        assert len(entries) >= len(chunks)
        assert all(start <= mono <= end for _, mono, _ in entries)
        assert all(
            abs(wall_minus_mono - (time.time_ns() - time.monotonic_ns())) < 10**9 for _, _, wall_minus_mono in entries
        )

    def test_stalled_reader_of_the_recording_stops_it_not_the_stream(self, tmp_path, plug):
        fifo = str(tmp_path / "fifo")
        os.mkfifo(fifo)
        held = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # open, never read
        s = Sensor(plug.link, record=fifo, queue=2, overflow="drop-oldest")
        try:
            junk = bytes(1 << 16)
            for _ in range((5 << 20) // len(junk)):  # more than the pipe and the bound take
                plug.send(junk)
            wait_for(lambda: s.stats["record_error"] is not None)
            assert "fell behind" in s.stats["record_error"]
            plug.send(stamped(1))
            assert number(s.read(timeout=10)) == 1 and s.status == "streaming"
            closer = threading.Thread(target=s.close)
            closer.start()
            closer.join(timeout=10)
            assert not closer.is_alive(), "close() waited for the recording"
        finally:
            os.close(held)  # a writer stuck on the pipe gets EPIPE and lets go
            s.close()


def decode_times(data):
    """The host-time sidecar's entries, (offset, monotonic ns, realtime - monotonic ns),
    each field the running sum of zigzag varints."""
    assert data[:8] == b"AHRSTIM1"
    values, shift, acc = [], 0, 0
    for byte in data[8:]:
        acc |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            values.append((acc >> 1) ^ -(acc & 1))
            shift, acc = 0, 0
    assert len(values) % 3 == 0
    entries, last = [], (0, 0, 0)
    for i in range(0, len(values), 3):
        last = tuple(a + d for a, d in zip(last, values[i : i + 3]))
        entries.append(last)
    return entries


def recorded_samples(path, n):
    """(set, readings) of the first `n` data packets in a recording, as the
    driver reads them (it says {} for a reply, damage or the end)."""
    client = tavrin_ahrs_driver.AHRSClient()
    client.open_file(str(path))
    sets = {"sensor": "DataSensor", "estimate": "DataEstimationFilter"}
    out = []
    for _ in range(path.stat().st_size // 6):
        reading = client.read()
        if "type" in reading:
            out.append((sets[reading.pop("type")], reading))
            if len(out) == n:
                break
    return out


class TestUnplugging:
    def test_unplugged_mid_packet_reconnects_without_partial_samples(self, tmp_path, plug):
        record = tmp_path / "flight.bin"
        with Sensor(plug.link, record=record) as s:
            before = b"".join(stamped(i) for i in range(6)) + stamped(6)[:9]
            plug.send(before)
            assert [number(x) for x in take(s, 6)] == list(range(6))
            wait_for(lambda: s.stats["bytes"] == len(before))
            plug.unplug()
            wait_for(lambda: s.status == "reconnecting")
            assert "device lost" in s.error
            plug.plug()
            wait_for(lambda: s.status == "streaming")
            assert plug.received(30) == b"".join(CONFIGURE)  # configured again
            plug.send(stamped(7) + stamped(8))
            assert [number(x) for x in take(s, 2)] == [7, 8]
            stats = s.stats
            assert (stats["reconnects"], stats["damaged_runs"], stats["skipped_bytes"]) == (1, 1, 9)
            assert stats["dropouts"] == {"DataSensor": 1}
            assert s.read(timeout=0.05) is None
        assert record.read_bytes() == before + stamped(7) + stamped(8)

    def test_without_reconnect_iteration_ends_with_the_reason(self, plug):
        s = Sensor(plug.link, reconnect=False)
        plug.send(stamped(1) + stamped(2))
        wait_for(lambda: s.stats["queued"] == 2)
        plug.unplug()
        assert [number(x) for x in s] == [1, 2]
        assert s.status == "failed" and "Input/output error" in s.error
        s.close()

    @pytest.mark.parametrize("through_link", [False, True], ids=["bare", "stale-link"])
    def test_a_terminal_that_hung_up_is_not_reopened_under_another_program(self, tmp_path, through_link):
        master, slave = os.openpty()
        tty.setraw(master)
        name = os.ttyname(slave)
        os.close(slave)
        path = name
        if through_link:  # a link nobody makes afresh: it still leads to the old number
            path = str(tmp_path / "usb-sensor")
            os.symlink(name, path)
        others = []
        try:
            with Sensor(path) as s:
                configured = b"".join(CONFIGURE)
                got = b""
                while len(got) < len(configured) and select.select([master], [], [], 5)[0]:
                    got += os.read(master, 4096)
                os.close(master)
                master = None
                wait_for(lambda: s.status == "reconnecting")
                # The number goes to the next program that asks for a terminal.
                while len(others) < 20:
                    others.append(os.openpty())
                    if os.ttyname(others[-1][1]) == name:
                        break
                stranger = others[-1][0]
                assert os.ttyname(others[-1][1]) == name
                time.sleep(1.5)  # several tries, on the timer and on the watch
                assert (s.status, s.stats["reconnects"]) == ("reconnecting", 0)
                assert select.select([stranger], [], [], 0)[0] == []  # nothing written to it
        finally:
            if master is not None:
                os.close(master)
            for m, sl in others:
                os.close(m)
                os.close(sl)

    @pytest.mark.parametrize("consumer", ["waits", "comes and goes", "asyncio"])
    def test_simulator_unplugged_again_and_again(self, tmp_path, consumer):
        usage = subprocess.run([installed_script("ahrs-sim"), "--help"], capture_output=True, text=True).stdout
        if "--unplug-every" not in usage:
            pytest.skip("the simulator cannot unplug itself")
        link = tmp_path / "sensor"
        record = tmp_path / "flight.bin"
        sim = subprocess.Popen(
            [installed_script("ahrs-sim"), "--link", str(link), "--unplug-every", "0.7"],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
        )
        try:
            sim.stdout.readline()
            wait_for(link.exists)
            last = {}
            got = []
            deadline = time.monotonic() + 3.0

            def enough(sample):
                # In order, none twice, and whole: every record of its
                # set, the acceleration still gravity seen in the body frame.
                assert sample.device_time > last.get(sample.set, 0), "duplicated or out of order"
                last[sample.set] = sample.device_time
                assert len(sample.readings) == {"DataSensor": 12, "DataEstimationFilter": 15}[sample.set]
                if sample.set == "DataSensor":
                    a = sample["ScaledAccVector"]
                    assert abs(math.hypot(a["x"], a["y"], a["z"]) - 1.0) < 1e-4  # g
                got.append(sample)
                if consumer == "comes and goes" and len(got) % 7 == 0:
                    time.sleep(0.02)  # the reader thread leads meanwhile
                return time.monotonic() > deadline

            async def consume(s):  # the event loop leads between the losses
                async for sample in s:
                    if enough(sample):
                        break

            with Sensor(link, record=record) as s:
                if consumer == "asyncio":
                    asyncio.run(consume(s))
                else:
                    for sample in s:
                        if enough(sample):
                            break
                stats = s.stats
            assert stats["reconnects"] >= 2 and stats["damaged_runs"] >= 1
            assert all(n >= 1 for n in stats["dropouts"].values())
            # Every sample is a packet of the recording, and every data
            # packet of the recording became a sample, in the same order.
            assert [(x.set, x.readings) for x in got] == recorded_samples(record, len(got))
        finally:
            sim.terminate()
            sim.wait(timeout=10)


class TestWaiting:
    def test_close_from_another_thread_ends_a_waiting_loop(self, plug):
        s = Sensor(plug.link)
        seen = []
        loop = threading.Thread(target=lambda: seen.extend(s))
        loop.start()
        plug.send(stamped(1))
        wait_for(lambda: seen)
        s.close()
        loop.join(timeout=5)
        assert not loop.is_alive() and [number(x) for x in seen] == [1]

    def test_signal_handler_interrupts_a_wait(self, plug):
        class Alarm(Exception):
            pass

        def raise_alarm(*_):
            raise Alarm

        old = signal.signal(signal.SIGALRM, raise_alarm)
        try:
            with Sensor(plug.link) as s:
                signal.setitimer(signal.ITIMER_REAL, 0.2)
                with pytest.raises(Alarm):
                    next(iter(s))
                plug.send(stamped(7))  # the sensor is still good after it
                assert number(s.read(timeout=5)) == 7
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)

    def test_ctrl_c_ends_a_waiting_loop(self, plug):
        code = (
            "import sys\nfrom tavrin_ahrs_tools import Sensor\ns = Sensor(sys.argv[1])\n"
            "print('waiting', flush=True)\ntry:\n    for sample in s:\n        pass\n"
            "except KeyboardInterrupt:\n    print('interrupted', s.status)\n"
        )
        proc = subprocess.Popen([sys.executable, "-c", code, plug.link], stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline() == "waiting\n"
        # Into the wait for a packet: the main thread sleeps in the kernel.
        wchan = Path(f"/proc/{proc.pid}/task/{proc.pid}/wchan")
        wait_for(lambda: wchan.read_text() not in ("", "0"))
        proc.send_signal(signal.SIGINT)
        assert proc.communicate(timeout=60)[0] == "interrupted streaming\n"

    def test_lock_released_while_waiting(self, plug):
        with Sensor(plug.link) as s:
            waiter = threading.Thread(target=lambda: s.read(timeout=0.5))
            waiter.start()
            n = 0
            while waiter.is_alive():  # runs only if the waiter lets go of the lock
                n += 1
            waiter.join()
            assert n > 1000


class Sender:
    """Sends packets from a thread of its own, about `period` seconds apart,
    until they run out or stop() (a device gone away ends it too)."""

    def __init__(self, plug, packets, period=0.0005):
        self.plug, self.packets, self.period = plug, packets, period
        self.sent = bytearray()
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        for p in self.packets:
            if self.stopped.is_set():
                break
            try:
                # In two writes: a reader may find half a packet.
                for part in (p[: len(p) // 2], p[len(p) // 2 :]):
                    self.plug.send(part)
                    self.sent += part
                    time.sleep(self.period / 2)
            except OSError:
                break

    def stop(self):
        self.stopped.set()
        self.thread.join(timeout=10)


class TestHandOver:
    """A waiting consumer reads the device itself; the reader thread reads
    when none waits. However often the lead changes hands, the samples are
    the bytes sent, whole, in order, once."""

    @pytest.mark.parametrize("consumer", ["read", "asyncio"])
    @pytest.mark.parametrize(("overflow", "queue"), [("block", 3), ("drop-oldest", 1000), ("drop-oldest", 3)])
    def test_consumer_that_comes_and_goes_loses_and_reorders_nothing(self, tmp_path, plug, overflow, queue, consumer):
        n = 600
        packets = [stamped(i) for i in range(n)]
        record = tmp_path / "flight.bin"
        got = []

        def settle(sample, timeout):
            assert sample is not None or timeout < 5, f"sample lost after {[number(x) for x in got[-3:]]}"
            if sample is not None:
                got.append(sample)

        def timeouts():
            # A few samples waited for (the consumer leads), then away for
            # less or more than a lease (the thread leads meanwhile); waits
            # too short for the rest of a packet cut it short.
            calls = 0
            while not got or number(got[-1]) < n - 1:
                calls += 1
                yield calls % 5 == 0 and 0.003 * (calls // 5 % 4), (0, 0.0003, 5)[calls % 3], calls

        async def in_a_loop(s):
            # The loop leads while it waits; away, it sleeps in the loop, or
            # blocks it (then the thread must take the device from it), or
            # reads blocking itself (the lead goes from the loop to a thread).
            for away, timeout, calls in timeouts():
                if away:
                    await asyncio.sleep(away) if calls % 2 else time.sleep(away)
                if calls % 7 == 0:
                    settle(s.read(timeout=timeout), timeout)
                else:
                    settle(await s.aread(timeout=timeout), timeout)

        with Sensor(plug.link, configure=False, queue=queue, overflow=overflow, record=record) as s:
            sender = Sender(plug, packets)
            if consumer == "asyncio":
                asyncio.run(in_a_loop(s))
            else:
                for away, timeout, _ in timeouts():
                    if away:
                        time.sleep(away)
                    settle(s.read(timeout=timeout), timeout)
            sender.stop()
            wait_for(lambda: s.stats["recorded_bytes"] == len(sender.sent))
            stats = s.stats
        numbers = [number(x) for x in got]
        assert numbers == sorted(set(numbers)), "duplicated or out of order"
        if overflow == "block" or queue >= n:
            assert numbers == list(range(n))
        else:
            assert len(numbers) + stats["dropped"] == n
        assert stats["packets"] == {"DataSensor": n}
        assert (stats["damaged_runs"], stats["checksum_failures"]) == (0, 0)
        assert record.read_bytes() == b"".join(packets)

    @pytest.mark.parametrize("overflow", ["block", "drop-oldest"])
    def test_close_from_another_thread_while_a_consumer_leads(self, tmp_path, plug, overflow):
        record = tmp_path / "flight.bin"
        size = len(stamped(0))
        s = Sensor(plug.link, configure=False, overflow=overflow, record=record)
        sender = Sender(plug, (stamped(i) for i in range(10**6)), period=0.001)
        got = []
        consumer = threading.Thread(target=lambda: got.extend(s))
        consumer.start()
        try:
            wait_for(lambda: len(got) >= 50)
            s.close()
            consumer.join(timeout=5)
            assert not consumer.is_alive(), "close() did not end the wait"
        finally:
            sender.stop()
            s.close()
        numbers = [number(x) for x in got]
        assert numbers == list(range(len(numbers)))
        # Every byte read reached the recording, and nothing else did.
        data = record.read_bytes()
        assert data == bytes(sender.sent[: len(data)]) and len(data) >= len(numbers) * size


class TestAsyncio:
    def test_aread_with_no_time_left_takes_what_has_come(self, plug):
        # As read(0) does: what is queued, in order, then None; never a wait.
        async def main():
            async with Sensor(plug.link, configure=False) as s:
                assert await s.aread(0) is None
                plug.send(b"".join(stamped(i) for i in range(5)))
                wait_for(lambda: s.stats["packets"].get("DataSensor", 0) == 5)
                return [await s.aread(timeout=0) for _ in range(6)]

        got = asyncio.run(main())
        assert [number(x) for x in got[:5]] == list(range(5)) and got[5] is None

    def test_async_for_aread_and_close(self, plug):
        async def main():
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    ticks += 1
                    await asyncio.sleep(0.01)

            tick = asyncio.create_task(ticker())
            async with Sensor(plug.link) as s:
                assert await s.aread(timeout=0.1) is None
                assert ticks >= 2  # the loop went on while aread waited
                loop = asyncio.get_running_loop()
                loop.call_later(0.1, plug.send, b"".join(stamped(i) for i in range(5)))
                got = []
                async for sample in s:
                    got.append(number(sample))
                    if len(got) == 5:
                        break
                assert got == list(range(5))
                threading.Timer(0.1, s.close).start()
                assert await s.aread() is None  # closed from another thread
            tick.cancel()
            return ticks

        asyncio.run(main())

    def test_a_stalled_loop_leaves_the_device_to_the_reader_thread(self, tmp_path, plug):
        n = 600
        packets = [stamped(i) for i in range(n)]
        record = tmp_path / "flight.bin"
        got, stalls = [], []

        def stall():
            began = time.monotonic_ns()
            time.sleep(0.2)  # a callback blocks the loop while the consumer awaits aread()
            stalls.append((began, time.monotonic_ns()))

        async def consume(s):
            while len(got) < n:
                sample = await s.aread(timeout=10)
                assert sample is not None, f"sample lost after {[number(x) for x in got[-3:]]}"
                got.append(sample)
                # Each time after the loop has caught up and leads the device,
                # and once the next aread() has looked and waits (two turns);
                # the last packets all come during the last stall, and then
                # no more: only the thread's word wakes the loop for them.
                if len(got) in (20, 250, n - 40):
                    loop = asyncio.get_running_loop()
                    loop.call_soon(loop.call_soon, stall)

        with Sensor(plug.link, configure=False, record=record) as s:
            sender = Sender(plug, packets, period=0.002)
            asyncio.run(consume(s))
            sender.stop()
        # Read (host_ns) while the loop stood still: by the thread, which
        # took the device from it rather than leaving the bytes to pile up.
        for began, ended in stalls:
            assert any(began < x.host_ns < ended for x in got), "the stream stopped with the loop"
        assert [number(x) for x in got] == list(range(n))
        assert record.read_bytes() == b"".join(packets)

    def test_every_consumer_in_one_loop_is_woken(self, plug):
        async def main():
            async with Sensor(plug.link) as s:
                got = {"a": [], "b": []}

                async def consume(name):
                    async for sample in s:
                        got[name].append(number(sample))

                tasks = [asyncio.create_task(consume(name)) for name in got]
                # A third waits out its time-out beside them.
                assert await s.aread(timeout=0.2) is None
                plug.send(b"".join(stamped(i) for i in range(50)))
                deadline = time.monotonic() + 10
                while sum(map(len, got.values())) < 50 and time.monotonic() < deadline:
                    await asyncio.sleep(0.01)
                assert sorted(got["a"] + got["b"]) == list(range(50))
                asyncio.get_running_loop().call_later(0.1, s.close)
                _done, pending = await asyncio.wait(tasks, timeout=10)
                assert not pending, "a consumer was not woken by close()"

        asyncio.run(main())


def test_inert_in_a_forked_child(plug):
    with Sensor(plug.link) as s:
        pid = os.fork()
        if pid == 0:
            ok = s.read(timeout=5) is None and s.status == "closed"
            s.close()
            del s
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        plug.send(stamped(3))
        assert number(s.read(timeout=5)) == 3
