"""The simulated sensor, the recorder and the pure-Python baseline decoder.

The simulator and the recorder run as the installed scripts, in real
processes on a real pseudo-terminal.  Their output is checked with the benchmark's pure-Python
decoder, which shares no code with the simulator's packet builder.
"""

import contextlib
import io
import itertools
import math
import os
import re
import select
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest
from conftest import installed_script, read_until
from mip import CONFIGURE, acc, field, packet
from reader_sync import wait_for

ROOT = Path(__file__).resolve().parents[2]
SIM = installed_script("ahrs-sim")
RECORDER = installed_script("ahrs-record")
sys.path.insert(0, str(ROOT / "bench"))
import pure_python_decoder as ppd  # noqa: E402

GRAVITY = 9.80665


# --- helpers ----------------------------------------------------------------------


def split_stream(data):
    """Packets back to back from byte 0, each checksummed; returns
    ([(descriptor set, payload)], the incomplete bytes at the end)."""
    packets, at = [], 0
    while len(data) - at >= 4 and len(data) - at >= data[at + 3] + 6:
        assert data[at : at + 2] == b"\x75\x65", f"no sync bytes at offset {at}"
        raw = data[at : at + data[at + 3] + 6]
        assert ppd.checksum(raw[:-2]) == int.from_bytes(raw[-2:], "big"), f"checksum at {at}"
        packets.append((raw[2], raw[4:-2]))
        at += len(raw)
    return packets, data[at:]


def find_packets(data):
    """Every checksummed packet anywhere in `data`, skipping junk."""
    found, at = [], data.find(b"\x75\x65")
    while at >= 0 and at + 4 <= len(data):
        raw = data[at : at + data[at + 3] + 6]
        if len(raw) >= 6 and ppd.checksum(raw[:-2]) == int.from_bytes(raw[-2:], "big"):
            found.append((raw[2], raw[4:-2]))
            at += len(raw)
        else:
            at += 1
        at = data.find(b"\x75\x65", at)
    return found


def snapshots(packets):
    return [ppd.snapshot(ppd.decode_payload(s, p)) for s, p in packets]


def time_of_week(snap):
    if snap["type"] == "sensor":
        return snap["GPSCorrelationTimestamp"]["gps_time_of_week"]
    return snap["GPSTimestamp"]["time_of_week"]


def norm(*values):
    return math.sqrt(sum(v * v for v in values))


def assert_plausible(snap):
    """Every field decodes, and the values describe one rigid body at rest."""
    if snap["type"] == "sensor":
        assert len(snap) == 1 + 12
        acc = snap["ScaledAccVector"]
        assert norm(acc["x"], acc["y"], acc["z"]) == pytest.approx(1.0, rel=1e-5)  # in g
        q = snap["CFQuaternion"]
        assert norm(q["x"], q["y"], q["z"], q["w"]) == pytest.approx(1.0, abs=1e-5)
        m = snap["CFOrientationMatrix"]
        rows = [[m[f"m{r}{c}"] for c in (1, 2, 3)] for r in (1, 2, 3)]
        for i in range(3):
            for j in range(3):
                dot = sum(rows[i][k] * rows[j][k] for k in range(3))
                assert dot == pytest.approx(1.0 if i == j else 0.0, abs=1e-5)
        up = snap["CFStabilizedUpVector"]
        assert [up[k] for k in "xyz"] == pytest.approx([acc[k] for k in "xyz"], abs=1e-5)
    else:
        assert len(snap) == 1 + 15
        q = snap["OrientationQuaternion"]
        assert norm(q["x"], q["y"], q["z"], q["w"]) == pytest.approx(1.0, abs=1e-5)
        gravity, acc = snap["GravityVector"], snap["CompensatedAcceleration"]
        assert [gravity[k] for k in "xyz"] == pytest.approx([-acc[k] for k in "xyz"], abs=1e-5)
        assert norm(gravity["x"], gravity["y"], gravity["z"]) == pytest.approx(GRAVITY, rel=1e-5)
        flags = {v["valid"] for k, v in snap.items() if isinstance(v, dict) and "valid" in v}
        assert flags == {snap["GPSTimestamp"]["valid_flags"]}


@contextlib.contextmanager
def simulator(*args):
    proc = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        path = proc.stdout.readline().strip()
        assert path.startswith("/dev/"), proc.stderr.read()
        yield proc, path
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(5)
        proc.stdout.close()
        proc.stderr.close()


@contextlib.contextmanager
def opened(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        yield fd
    finally:
        os.close(fd)


# --- the simulator ------------------------------------------------------------------


def test_pty_stream_is_whole_packets_of_a_plausible_moving_body():
    with simulator("--rate", "200") as (_, path), opened(path) as fd:
        data = read_until(fd, lambda d: len(d) > 300 * 223)
    packets, _ = split_stream(data)  # the stream starts at a packet boundary
    snaps = snapshots(packets)
    assert len(snaps) >= 300
    assert [s["type"] for s in snaps[:4]] == ["sensor", "estimate", "sensor", "estimate"]
    for snap in snaps:
        assert_plausible(snap)
    tows = [time_of_week(s) for s in snaps if s["type"] == "sensor"]
    assert all(b - a == pytest.approx(1 / 200, abs=1e-6) for a, b in itertools.pairwise(tows))
    yaws = [s["CFEulerAngles"]["yaw"] for s in snaps if s["type"] == "sensor"]
    assert yaws[-1] != yaws[0]  # the body turns


def test_recorded_file_holds_exactly_the_stream_and_the_filter_settles(tmp_path):
    out = tmp_path / "stream.bin"
    done = subprocess.run(
        [SIM, "--record", str(out), "--seconds", "2", "--rate", "50"], capture_output=True, text=True, timeout=30
    )
    assert done.returncode == 0, done.stderr
    packets, tail = split_stream(out.read_bytes())
    assert tail == b"" and len(packets) == 2 * 2 * 50
    assert [s for s, _ in packets[:2]] == [0x80, 0x82]
    snaps = snapshots(packets)
    for snap in snaps:
        assert_plausible(snap)
    estimates = [s for s in snaps if s["type"] == "estimate"]
    settled = [time_of_week(s) - time_of_week(estimates[0]) >= 1.0 for s in estimates]
    assert [s["GPSTimestamp"]["valid_flags"] == "Valid" for s in estimates] == settled
    assert [s["FilterStatus"]["filter_state"] for s in estimates] == [2 if v else 1 for v in settled]


def test_every_command_packet_is_acknowledged_in_its_own_descriptor_set():
    two_fields = bytes.fromhex("0201") + bytes.fromhex("030a07")
    commands = CONFIGURE + [packet(0x7F, two_fields), packet(0x0D, b"")]
    # junk in front of one command: the simulator must still find it
    sent = commands[0] + b"\x00\x75\x01" + b"".join(commands[1:])
    with simulator() as (_, path), opened(path) as fd:
        os.write(fd, sent)
        data = read_until(fd, lambda d: sum(s < 0x80 for s, _ in find_packets(bytes(d))) >= 5)
    replies = [(s, p) for s, p in find_packets(data) if s < 0x80]
    assert replies == [
        (0x01, bytes.fromhex("04f10200")),
        (0x0C, bytes.fromhex("04f11100")),
        (0x0C, bytes.fromhex("04f11100")),
        (0x7F, bytes.fromhex("04f1010004f10a00")),
        (0x0D, b""),
    ]


def test_fast_mode_counts_every_packet_and_exits_after_count():
    count = 3000
    with simulator("--fast", "--count", str(count)) as (proc, path), opened(path) as fd:
        data = read_until(fd, lambda d: len(d) >= count // 2 * (194 + 252))
        packets, tail = split_stream(data)
        assert proc.wait(10) == 0
    assert tail == b""
    assert [time_of_week(s) for s in snapshots(packets)] == [float(k) for k in range(count)]
    assert [s for s, _ in packets] == [0x80, 0x82] * (count // 2)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("mode", [[], ["--fast"]])
def test_signal_stops_the_simulator_cleanly(sig, mode):
    with simulator(*mode) as (proc, path), opened(path) as fd:
        assert read_until(fd, lambda d: len(d) > 1000)  # streaming, reader not keeping up
        proc.send_signal(sig)
        assert proc.wait(5) == 0


def test_simulator_exits_when_the_reader_is_gone_for_good():
    with simulator("--linger", "0.2") as (proc, path):
        with opened(path) as fd:
            assert read_until(fd, lambda d: len(d) > 1000)
        assert proc.wait(5) == 0
        assert "packets" in proc.stderr.read()


def read_until_hang_up(fd, timeout=10.0):
    data = bytearray()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
    return bytes(data)


def test_unplugging_moves_the_link_to_a_new_terminal_and_the_stream_goes_on(tmp_path):
    link = tmp_path / "usb-sensor-if00"
    with simulator("--link", str(link), "--unplug-every", "1.0") as (proc, first):
        paths, tails, tows = [], [], []
        for away in (0, 0.6, 0):
            time.sleep(away)  # the device streams to nobody meanwhile
            # The link moves to the next terminal once the device is back.
            assert wait_for(lambda: next_terminal(link, paths) is not None, 60)
            paths.append(next_terminal(link, paths))
            with opened(link) as fd:
                packets, tail = split_stream(read_until_hang_up(fd))
            assert len(packets) > 20
            tails.append(tail)
            tows.append([time_of_week(s) for s in snapshots(packets)])
        announced = [first] + [proc.stdout.readline().strip() for _ in range(2)]
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(5) == 0
    assert paths == announced
    assert all(a != b for a, b in itertools.pairwise(paths))
    assert not link.exists()  # gone with the device, as udev removes it
    # Each terminal closed part-way through a packet, and the next one goes
    # on later in the stream; the device's time ran on while it was away.
    assert all(t[:2] == b"\x75\x65" and len(t) < t[3] + 6 for t in tails if len(t) >= 4)
    assert any(tails)
    gaps = [tows[1][0] - tows[0][-1], tows[2][0] - tows[1][-1]]
    assert gaps[0] > 0.5 and 0 < gaps[1] < gaps[0], gaps


def next_terminal(link, seen):
    """Where `link` leads when it leads to another terminal than the last of
    `seen`, else None (a terminal's number may come round again later)."""
    try:
        target = os.readlink(link)
    except FileNotFoundError:
        return None
    return target if not seen or target != seen[-1] else None


def test_corruption_damages_some_packets_and_the_rest_are_found_again(tmp_path):
    def record(name, *extra):
        out = tmp_path / name
        subprocess.run(
            [SIM, "--record", str(out), "--count", "400", *extra], check=True, timeout=30, capture_output=True
        )
        return out.read_bytes()

    damaged = record("a.bin", "--corrupt-rate", "0.3", "--seed", "7")
    assert damaged == record("b.bin", "--corrupt-rate", "0.3", "--seed", "7")
    assert damaged != record("c.bin", "--corrupt-rate", "0.3", "--seed", "8")
    clean, _ = split_stream(record("clean.bin"))
    with pytest.raises(AssertionError):
        split_stream(damaged)
    found = find_packets(damaged)
    # the survivors are the clean stream's own packets, in order, and most of them
    assert 300 <= len(found) < 400
    survivors = iter(clean)
    assert all(packet in survivors for packet in found)


# --- replay ------------------------------------------------------------------------------


def read_stamped(fd, total, timeout=15.0):
    """[(arrival time, bytes)] until `total` bytes have come."""
    chunks, got = [], 0
    deadline = time.monotonic() + timeout
    while got < total and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            chunk = os.read(fd, 65536)
            chunks.append((time.monotonic(), chunk))
            got += len(chunk)
    return chunks


def arrival(chunks, offset):
    """When the byte at `offset` arrived, counted from the first byte."""
    for at, chunk in chunks:
        if offset < len(chunk):
            return at - chunks[0][0]
        offset -= len(chunk)
    raise AssertionError("never arrived")


def replayed(path, *args):
    size = path.stat().st_size
    with simulator("--replay", str(path), *args) as (proc, dev), opened(dev) as fd:
        chunks = read_stamped(fd, size)
        assert proc.wait(10) == 0
    return chunks


@pytest.fixture(scope="module")
def damaged_recording(tmp_path_factory):
    """Two seconds at 50 Hz with junk and flipped bits in it."""
    path = tmp_path_factory.mktemp("replay") / "damaged.bin"
    subprocess.run(
        [SIM, "--record", str(path), "--seconds", "2", "--rate", "50", "--corrupt-rate", "0.1"],
        check=True,
        timeout=30,
        capture_output=True,
    )
    return path


@pytest.mark.parametrize("speed, least, most", [("2", 0.5, 2.5), ("0", 0.0, 0.9)])
def test_replay_sends_every_byte_at_the_recordings_pace(damaged_recording, speed, least, most):
    chunks = replayed(damaged_recording, "--speed", speed)
    assert b"".join(c for _, c in chunks) == damaged_recording.read_bytes()
    # the last packet is stamped 1.98 s after the first
    assert least <= chunks[-1][0] - chunks[0][0] <= most


def gps_stamped(tow, week=2345):
    return packet(0x82, field(0x11, "dHH", tow, week, 1))


def test_replay_keeps_untimed_packets_with_the_one_before_across_a_week_roll_over(tmp_path):
    parts = [
        gps_stamped(604799.9),
        packet(0x80, acc()),
        b"\x00junk",
        gps_stamped(0.7, week=2346),
        packet(0x80, acc(4, 5, 6)),
    ]
    path = tmp_path / "rollover.bin"
    path.write_bytes(b"".join(parts))
    offsets = [sum(map(len, parts[:i])) for i in range(len(parts))]
    chunks = replayed(path)
    assert b"".join(c for _, c in chunks) == path.read_bytes()
    assert arrival(chunks, offsets[1]) < 0.4  # with the first stamped packet
    assert 0.4 <= arrival(chunks, offsets[2]) < 5  # the junk goes with the packet after it
    assert abs(arrival(chunks, offsets[4]) - arrival(chunks, offsets[3])) < 0.2


def test_replay_loops_round_and_round(damaged_recording):
    data = damaged_recording.read_bytes()
    with simulator("--replay", str(damaged_recording), "--speed", "0", "--loop") as (_, dev), opened(dev) as fd:
        got = read_until(fd, lambda d: len(d) >= 3 * len(data))
    assert got[: 3 * len(data)] == data * 3


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
def test_replay_shows_progress_only_on_a_terminal(damaged_recording, terminal):
    far, near = os.openpty() if terminal else os.pipe()
    proc = subprocess.Popen([SIM, "--replay", str(damaged_recording)], stdout=subprocess.PIPE, stderr=near, text=True)
    os.close(near)
    said = bytearray()
    try:
        with opened(proc.stdout.readline().strip()) as fd:
            deadline = time.monotonic() + 15
            while proc.poll() is None and time.monotonic() < deadline:
                ready = select.select([fd, far], [], [], 0.1)[0]
                if fd in ready:
                    os.read(fd, 65536)
                if far in ready:
                    said += read_until(far, lambda d: d, timeout=0.1)
        assert proc.wait(5) == 0
        said += read_until(far, lambda d: False, timeout=0.5)  # ends at EOF or a terminal's EIO
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.stdout.close()
        os.close(far)
    assert (b"] 100%" in said) is terminal
    assert b"replayed" in said


# --- the recorder -----------------------------------------------------------------------


def test_recorder_captures_the_simulator_stream_from_a_packet_boundary(tmp_path):
    out = tmp_path / "capture.bin"
    with simulator("--rate", "100") as (_, path):
        done = subprocess.run(
            [RECORDER, "--device", path, "--baud", "921600", "--seconds", "1", "--output", str(out)],
            capture_output=True,
            text=True,
            timeout=30,
        )
    assert done.returncode == 0, done.stderr
    packets, tail = split_stream(out.read_bytes())
    assert tail == b"" and len(packets) >= 100
    tows = [time_of_week(s) for s in snapshots(packets)]
    steps = {round(b - a, 6) for a, b in zip(tows[::2], tows[2::2])}
    assert steps == {0.01}  # no packet lost between the first and the last
    assert f"{len(packets)} packets" in done.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["--baud", "123456"], "unsupported baud rate 123456"),
        (["--device", "/dev/null"], "not a serial device"),
        (["--device", "/nonexistent/tty"], "No such file or directory"),
    ],
)
def test_recorder_fails_clearly(tmp_path, args, message):
    base = {"--device": "/dev/null", "--baud": "115200", "--seconds": "0.1", "--output": str(tmp_path / "x.bin")}
    base.update(zip(args[::2], args[1::2]))
    done = subprocess.run([RECORDER, *sum(base.items(), ())], capture_output=True, text=True, timeout=30)
    assert done.returncode != 0
    assert message in done.stderr


@pytest.mark.parametrize(
    "pyserial, names",
    [
        (True, r"\((serial ports present: /dev/.+|no serial ports found)\)$"),
        (False, r"\(serial ports cannot be listed without pyserial\)$"),
    ],
)
def test_recorder_names_the_ports_present_when_the_device_does_not_exist(tmp_path, pyserial, names):
    env = dict(os.environ)
    if not pyserial:  # the recorder itself needs only the standard library
        (tmp_path / "serial").mkdir()
        (tmp_path / "serial" / "__init__.py").write_text("raise ImportError('not installed')\n")
        env["PYTHONPATH"] = str(tmp_path)
    done = subprocess.run(
        [
            RECORDER,
            "--device",
            "/dev/serial/by-id/usb-missing-if00",
            "--seconds",
            "1",
            "--output",
            str(tmp_path / "x.bin"),
        ],
        capture_output=True,
        text=True,
        timeout=30,
        env=env,
    )
    assert done.returncode == 1
    (line,) = done.stderr.splitlines()
    assert line.startswith("ahrs-record: cannot open /dev/serial/by-id/usb-missing-if00: No such file or directory (")
    assert re.search(names, line), line
    assert not (tmp_path / "x.bin").exists()


# --- the simulator's field layouts ----------------------------------------------------------


def test_the_simulators_wire_table_is_the_catalogue():
    """The simulator runs on the standard library alone, so it reads the
    wire format from a generated module: it must say what the native
    catalogue says (`make wire-table` writes it again)."""
    from tavrin_ahrs_tools import wire_table

    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import wire_table as generator
    finally:
        sys.path.remove(str(ROOT / "tools"))
    expected = generator.table()
    assert {name: getattr(wire_table, name) for name in expected} == expected
    # A validity flag travels as a 16-bit integer; floats at their own width.
    assert wire_table.WIRE_TYPES == {"f4": "f", "f8": "d", "u2": "H", "?": "H"}


def test_simulated_packets_leave_out_records_the_simulator_gives_no_values(tmp_path):
    """A record the catalogue gains reaches the simulator through the
    generated table; until it is given values it is left out, and the rest
    of the packet still decodes."""
    from tavrin_ahrs_tools import frames, load, simulated

    values = simulated.filter_values(5.0)
    del values["OrientationMatrix"]
    packer = simulated.packer_for(frames.FILTER_SET, values)
    path = tmp_path / "r.bin"
    path.write_bytes(frames.frame(frames.FILTER_SET, packer.pack(values[r.name] for r in packer.records)))
    rec = load(path)
    assert set(rec.records) == set(values)
    assert rec.records["GPSTimestamp"]["time"][0] == simulated.GPS_WEEK * 604800.0 + simulated.TOW_START + 5.0
    with pytest.raises(LookupError, match="NotARecord"):
        simulated.packer_for(frames.FILTER_SET, {**values, "NotARecord": (1.0,)})


# --- the baseline decoder ------------------------------------------------------------------


def f32(x):
    return struct.unpack(">f", struct.pack(">f", x))[0]


@pytest.mark.parametrize(
    "value, text",
    [
        (f32(0.1), "0.1"),
        (f32(987654321.0), "987654340.0"),
        (1.0, "1.0"),
        (-0.0, "-0.0"),
        (f32(5e-5), "5e-5"),
        (f32(1.5e-7), "1.5e-7"),
        (f32(-2.5e-5), "-2.5e-5"),
        (f32(1e-4), "0.0001"),
        (f32(9.99999e-5), "9.99999e-5"),
        (f32(1e16), "1e16"),
        (f32(1e15), "1000000000000000.0"),
        (f32(-3.4028235e38), "-3.4028235e38"),
        (float("nan"), "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
    ],
)
def test_float32_text_is_shortest_round_trip(value, text):
    assert ppd.float32_text(value) == text


@pytest.mark.parametrize(
    "value, text",
    [
        (0.1, "0.1"),
        (345600.01, "345600.01"),
        (1e16, "1e16"),
        (9999999999999998.0, "9999999999999998.0"),
        (1e-4, "0.0001"),
        (9.9999e-5, "9.9999e-5"),
        (1e300, "1e300"),
    ],
)
def test_float64_text_is_shortest_round_trip(value, text):
    assert ppd.float64_text(value) == text


ACC = "Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })"
EULER = "Estimate(OrientationEuler { roll: 0.5, pitch: -0.25, yaw: 1.0, valid: Valid })"


@pytest.mark.parametrize(
    "descriptor_set, payload, line",
    [
        (
            0x80,
            bytes.fromhex("0e043f80000040000000404000000e050000000000000000bf800000"),
            f"[{ACC}, Sensor(ScaledGyroVector {{ x: 0.0, y: 0.0, z: -1.0 }})]",
        ),
        (0x82, bytes.fromhex("10053f000000be8000003f8000000001"), f"[{EULER}]"),
        (
            0x82,
            bytes.fromhex("0810000200010040"),
            "[Estimate(FilterStatus { filter_state: 2, dynamics_mode: 1, status_flags: 64 })]",
        ),
        # zero length steps one byte; an unknown descriptor and a short field are dropped
        (0x80, b"\x00" + field(0x7E, "f", 1.0) + field(0x04, "ff", 1, 2) + field(0x04, "fff", 1, 2, 3), f"[{ACC}]"),
        # surplus data is ignored, and a last field claiming too much still decodes
        (0x80, field(0x04, "ffff", 1, 2, 3, 9) + b"\x20\x04" + struct.pack(">fff", 1, 2, 3), f"[{ACC}, {ACC}]"),
        (
            0x82,
            field(0x05, "fffH", 0.5, -0.25, 1.0, 2) + field(0x05, "fffH", 0.5, -0.25, 1.0, 0),
            f"[{EULER.replace('Valid', 'Invalid')}]",
        ),
        (0x82, field(0x04, "fff", 1, 2, 3), "[]"),
        (0x01, field(0x04, "fff", 1, 2, 3), "[]"),
        (
            0x80,
            field(0x12, "dHH", 345600.25, 2345, 7),
            "[Sensor(GPSCorrelationTimestamp { gps_time_of_week: 345600.25, gps_week: 2345, timestamp_flags: 7 })]",
        ),
    ],
)
def test_decoder_lines(descriptor_set, payload, line):
    assert ppd.readings_text(ppd.decode_payload(descriptor_set, payload)) == line


def test_snapshot_keeps_the_last_reading_of_a_variant_with_exact_floats():
    payload = field(0x05, "fffH", 0.1, 0, 0, 1) + field(0x05, "fffH", 0.5, -0.25, 1.0, 0)
    payload += field(0x11, "dHH", 1.5, 7, 1)
    snap = ppd.snapshot(ppd.decode_payload(0x82, payload))
    assert snap == {
        "type": "estimate",
        "OrientationEuler": {"roll": 0.5, "pitch": -0.25, "yaw": 1.0, "valid": "Invalid"},
        "GPSTimestamp": {"time_of_week": 1.5, "week": 7, "valid_flags": "Valid"},
    }
    first = ppd.snapshot(ppd.decode_payload(0x82, field(0x05, "fffH", 0.1, 0, 0, 1)))
    assert first["OrientationEuler"]["roll"] == 0.10000000149011612
    assert ppd.snapshot([]) == {}


@pytest.mark.parametrize(
    "bad, closing",
    [
        (b"", "End of file: failed to fill whole buffer"),
        (b"\x00\x00", "Error parsing packet from file: bad magic at 0x28: [0, 0]"),
        (bytes.fromhex("756580005a04"), "bad checksum: 5a04 != 5a03 at 0x28"),
        (bytes.fromhex("7565800501"), "not enough bytes in reader"),
    ],
)
def test_file_parse_stops_at_the_first_bad_packet(tmp_path, bad, closing):
    good = packet(0x80, field(0x04, "fff", 1, 2, 3))
    path = tmp_path / "f.bin"
    # a cut packet can only be last; the others are followed by a good one
    path.write_bytes(good * 2 + bad + (good if bad[3:4] != b"\x05" else b""))
    out, err = io.StringIO(), io.StringIO()
    ppd.parse_data_stream(str(path), out, err)
    assert out.getvalue() == f"[{ACC}]\n" * (2 if bad else 3)
    assert closing in err.getvalue() and err.getvalue().count("\n") == 1
