import os
import signal
import socket
import subprocess
import sys

import pytest
from conftest import memory_in_use, read_until
from mip import ESTIMATE, SENSOR, acc, corrupted, euler, field, packet

import tavrin_ahrs_driver as m

EOF_LINE = "End of file: failed to fill whole buffer\n"
ACC_LINE = "[Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })]\n"
EULER_LINE = "[Estimate(OrientationEuler { roll: 0.5, pitch: -0.25, yaw: 1.0, valid: Valid })]\n"
GOOD = packet(SENSOR, acc())
BAD_CHECKSUM = corrupted(GOOD)


@pytest.fixture
def parse(tmp_path, fd_capture):
    def _parse(data: bytes):
        path = tmp_path / "stream.bin"
        path.write_bytes(data)
        with fd_capture() as cap:
            result = m.parse_data_stream_py(str(path))
        assert result is None
        return cap.out, cap.err

    return _parse


@pytest.mark.parametrize(
    "data, out, err",
    [
        (b"", "", EOF_LINE),
        (bytes.fromhex("756580005a03"), "[]\n", EOF_LINE),
        (bytes.fromhex("756501020202e1c7") + GOOD, "[]\n" + ACC_LINE, EOF_LINE),
        (GOOD + packet(ESTIMATE, euler()) + GOOD, ACC_LINE + EULER_LINE + ACC_LINE, EOF_LINE),
        (b"\x00", "", EOF_LINE),
        (GOOD + b"\x75", ACC_LINE, EOF_LINE),
        (b"\x00\x00" + GOOD, "", "Error parsing packet from file: bad magic at 0x0: [0, 0]\n"),
        (GOOD + b"\x75\x66", ACC_LINE, "Error parsing packet from file: bad magic at 0x14: [117, 102]\n"),
        (
            GOOD + GOOD + BAD_CHECKSUM + GOOD,
            ACC_LINE * 2,
            "Error parsing packet from file: bad checksum: f9ec != f9ed at 0x28\n",
        ),
    ],
    ids=[
        "empty",
        "empty-sensor",
        "command-then-sensor",
        "three",
        "lone-byte",
        "lone-sync",
        "stray-bytes",
        "bad-magic-later",
        "bad-checksum",
    ],
)
def test_prints_each_packet_and_one_closing_line(parse, data, out, err):
    assert parse(data) == (out, err)


def test_packet_line_holds_every_reading_in_field_order(parse):
    payload = acc() + field(0x7E, "I", 7) + field(0x05, "fff", 0.0, 0.0, -1.0)
    out, _ = parse(packet(SENSOR, payload))
    assert out == (
        "[Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 }), Sensor(ScaledGyroVector { x: 0.0, y: 0.0, z: -1.0 })]\n"
    )


@pytest.mark.parametrize(
    "tail, lines",
    [
        (
            bytes.fromhex("756502"),
            [
                "no variants matched at 0x16",
                "Unexpected value for enum: 2",
                "While parsing field 'descriptor' in MipPacket",
            ],
        ),
        (bytes.fromhex("756580050102"), ["not enough bytes in reader", "While parsing field 'bytes' in MipPacket"]),
        (GOOD[:-1], ["failed to fill whole buffer", "While parsing field 'checksum' in MipPacket"]),
        (bytes.fromhex("756580"), ["failed to fill whole buffer", "While parsing field 'payload_length' in MipPacket"]),
    ],
    ids=["unknown-set", "cut-payload", "cut-checksum", "cut-length"],
)
def test_failures_with_context_print_a_report(parse, tail, lines):
    out, err = parse(GOOD + tail)
    assert out == ACC_LINE
    assert err.startswith("Error parsing packet from file: ")
    assert "Backtrace" in err
    positions = [err.index(line) for line in lines]
    assert positions == sorted(positions)
    assert err.endswith("\n")


def test_directory_fails_at_first_read(tmp_path, fd_capture):
    with fd_capture() as cap:
        assert m.parse_data_stream_py(str(tmp_path)) is None
    assert cap.out == ""
    assert cap.err == "End of file: Is a directory (os error 21)\n"


@pytest.mark.parametrize(
    "path, start",
    [
        (
            "/nonexistent/stream.bin",
            'AHRSError: IOError: Os { code: 2, kind: NotFound, message: "No such file or directory" }',
        ),
        (
            "bad\0name",
            'AHRSError: IOError: Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }',
        ),
    ],
)
def test_unopenable_file_raises_oserror_and_prints_nothing(fd_capture, path, start):
    with fd_capture() as cap, pytest.raises(OSError) as info:
        m.parse_data_stream_py(filename=path)
    assert info.value.args == (start,)
    assert (cap.out, cap.err) == ("", "")


def test_unreadable_file_raises_permission_denied(tmp_path):
    path = tmp_path / "secret.bin"
    path.write_bytes(GOOD)
    path.chmod(0)
    tmp_path.chmod(0o755)
    as_root = os.geteuid() == 0
    if as_root:
        os.seteuid(65534)  # root reads anything: try as nobody, then come back
    try:
        with pytest.raises(OSError) as info:
            m.parse_data_stream_py(str(path))
    finally:
        if as_root:
            os.seteuid(0)
    assert info.value.args[0].startswith("AHRSError: IOError: Os { code: 13, kind: PermissionDenied")


def test_large_file_reports_true_offsets_across_buffer_refills(parse):
    count = 1000  # 20 KiB: several 8192-byte buffer refills before the bad packet
    out, err = parse(GOOD * count + BAD_CHECKSUM)
    assert out == ACC_LINE * count
    assert err == f"Error parsing packet from file: bad checksum: f9ec != f9ed at 0x{len(GOOD) * count:x}\n"


def test_repeated_calls_keep_memory_flat(tmp_path):
    path = tmp_path / "small.bin"
    path.write_bytes(GOOD * 3 + packet(ESTIMATE, euler()))
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.dup2(null, 2)
    try:
        for _ in range(1000):  # warm up allocator pools
            m.parse_data_stream_py(str(path))
        before = memory_in_use() // 1024
        for _ in range(10000):
            m.parse_data_stream_py(str(path))
        after = memory_in_use() // 1024
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)
    assert after - before < 256, f"resident size grew by {after - before} KiB"


def test_each_line_is_out_before_the_parse_waits_for_more(tmp_path):
    # A FIFO fed one packet at a time: the next goes only once the line of
    # the last has come out, as a reader tailing the stream would see it.
    fifo = tmp_path / "live"
    os.mkfifo(fifo)
    code = f"import tavrin_ahrs_driver as m; m.parse_data_stream_py({str(fifo)!r})"
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        with open(fifo, "wb", buffering=0) as feed:
            for _ in range(3):
                feed.write(GOOD)
                assert read_until(child.stdout.fileno(), lambda d: len(d) >= len(ACC_LINE)) == ACC_LINE.encode()
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert (out, err) == (b"", EOF_LINE.encode())


def test_each_line_is_written_whole_as_it_ends(tmp_path):
    # Standard output as a packet socket shows each write(2) apart: one line
    # a write, never a line cut in two nor lines held back to go together.
    path = tmp_path / "stream.bin"
    path.write_bytes((GOOD + packet(ESTIMATE, euler())) * 50)
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    code = f"import tavrin_ahrs_driver as m; m.parse_data_stream_py({str(path)!r})"
    with ours, theirs:
        done = subprocess.run([sys.executable, "-c", code], stdout=theirs, stderr=subprocess.PIPE, timeout=60)
        theirs.close()
        writes = list(iter(lambda: ours.recv(1 << 16), b""))
    assert done.stderr == EOF_LINE.encode()
    assert writes == [ACC_LINE.encode(), EULER_LINE.encode()] * 50


def test_signal_handlers_see_every_line_before_them(parse):
    # Handlers run between packets; whatever they look at, every line parsed
    # by then is out already.
    seen = []

    def look(*_):
        size = os.fstat(1).st_size
        if size:
            seen.append(size)

    previous = signal.signal(signal.SIGALRM, look)
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    try:
        out, _ = parse(GOOD * 100_000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert out == ACC_LINE * 100_000
    during = [size // len(ACC_LINE) for size in seen if size < len(out)]  # not the handlers run after the call
    assert during, "no handler ran during the parse"
    assert [lines % 4096 for lines in during] == [4095] * len(during), during
    assert all(size % len(ACC_LINE) == 0 for size in seen)
