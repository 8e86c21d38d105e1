"""AHRSClient on real pseudo-terminals and files: every state and failure."""

import inspect
import time
import weakref

import pytest
from mip import CONFIGURE, ESTIMATE, SENSOR, acc, corrupted, euler, packet

import tavrin_ahrs_driver as m

NOT_STREAMING = ('AHRSError: SerialPortError: Error { kind: InvalidInput, description: "Port not streaming" }',)
ACC = {"x": 1.0, "y": 2.0, "z": 3.0}
GOOD = packet(SENSOR, acc())


@pytest.mark.parametrize(
    "cls, make",
    [
        (m.AHRSClient, m.AHRSClient),
        (m.BufferedAHRSClient, lambda: m.BufferedAHRSClient("/dev/null", 9600, 0, False)),
    ],
)
def test_classes_are_final_builtins_without_dict_or_weakrefs(cls, make):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    client = make()
    with pytest.raises(AttributeError):
        client.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(client)


def test_signatures():
    assert str(inspect.signature(m.AHRSClient)) == "()"
    assert str(inspect.signature(m.BufferedAHRSClient)) == "(serial_device, baud_rate, buffer_size, verbose)"
    c = m.AHRSClient()
    assert str(inspect.signature(c.open)) == "(serial_device, baud_rate)"
    assert str(inspect.signature(c.open_file)) == "(filename)"
    for name in ("configure", "start_stream", "read", "read_packet"):
        assert str(inspect.signature(getattr(c, name))) == "()"
    with pytest.raises(TypeError):
        m.AHRSClient(1)
    with pytest.raises(TypeError):
        c.read(1)


def test_new_client(fd_capture):
    c = m.AHRSClient()
    with fd_capture() as cap:
        assert c.read() == {}
        with pytest.raises(ValueError) as info:
            c.read_packet()
        assert c.start_stream() is None
        assert c.configure() is None
    assert info.value.args == NOT_STREAMING
    assert (cap.out, cap.err) == ("", "Port not configured\n" * 2)


def test_open_device_configure_then_stream(pty, fd_capture):
    c = m.AHRSClient()
    c.open(pty.path, 115200)
    with fd_capture() as cap:
        assert c.read() == {}
        with pytest.raises(ValueError) as info:
            c.read_packet()
        c.configure()
        c.configure()
    assert info.value.args == NOT_STREAMING
    assert (cap.out, cap.err) == ("", "")
    assert pty.received(60) == b"".join(CONFIGURE) * 2

    c.start_stream()
    pty.send(GOOD + packet(ESTIMATE, euler()))
    with fd_capture() as cap:
        assert c.read() == {"type": "sensor", "ScaledAccVector": ACC}
        assert c.read_packet() == [{"roll": 0.5, "pitch": -0.25, "yaw": 1.0, "valid": "Valid"}]
        c.start_stream()
        c.configure()
    assert (cap.out, cap.err) == ("", "Port already streaming\n" * 2)
    assert pty.received(1, timeout=0.2) == b""


def test_file_stream(tmp_path, fd_capture):
    path = tmp_path / "rec.bin"
    path.write_bytes(GOOD + packet(ESTIMATE, euler()))
    c = m.AHRSClient()
    c.open_file(str(path))
    with fd_capture() as cap:
        c.start_stream()
        c.configure()
        assert c.read() == {"type": "sensor", "ScaledAccVector": ACC}
        assert c.read()["type"] == "estimate"
        assert c.read() == {}
        with pytest.raises(ValueError) as info:
            c.read_packet()
    assert cap.out == "Parsed packet: DataSensor\nParsed packet: DataEstimationFilter\n"
    assert cap.err == "Cannot configure file stream\n" * 2 + "IOERR: failed to fill whole buffer\n" * 2
    assert info.value.args == (
        'AHRSError: IOError: Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }',
    )


def test_recording_cut_inside_a_packet_ends_like_any_file_and_completes_as_it_grows(tmp_path, fd_capture):
    # A recorder still writing (or stopped for good) mid-packet.
    path = tmp_path / "rec.bin"
    path.write_bytes(GOOD + GOOD[:9])
    c = m.AHRSClient()
    c.open_file(str(path))
    with fd_capture() as cap:
        assert c.read_packet() == [ACC]
        assert c.read_packet() == []  # cut short: nothing yet
        with pytest.raises(ValueError) as info:  # nothing new: the end, as ever
            c.read_packet()
        with path.open("ab") as f:
            f.write(GOOD[9:])
        assert c.read_packet() == [ACC]  # whole, not lost
    assert "not enough bytes in reader" in info.value.args[0]
    assert cap.out == "Parsed packet: DataSensor\n" * 2
    assert cap.err == "IOERR: not enough bytes in reader\n"


def test_failed_open_keeps_the_old_port(tmp_path, fd_capture):
    path = tmp_path / "rec.bin"
    path.write_bytes(GOOD * 2)
    c = m.AHRSClient()
    c.open_file(str(path))
    with fd_capture():
        assert c.read_packet() == [ACC]
    with pytest.raises(ValueError) as info:
        c.open_file(str(tmp_path / "missing.bin"))
    assert info.value.args[0].startswith("AHRSError: IOError: Os { code: 2, kind: NotFound")
    with pytest.raises(ValueError, match="SerialPortError"):
        c.open(str(tmp_path / "missing-device"), 9600)
    with fd_capture():
        assert c.read_packet() == [ACC]


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((-1,), OverflowError, "out of range integral type conversion attempted"),
        ((2**32,), OverflowError, "out of range integral type conversion attempted"),
        ((2**64,), OverflowError, "Python int too large to convert to C long"),
        ((-(2**64),), OverflowError, "Python int too large to convert to C long"),
        (("9600",), TypeError, "argument 'baud_rate' must be int"),
        ((), TypeError, "missing required argument 'baud_rate'"),
    ],
)
def test_open_argument_errors(pty, args, exc, text):
    c = m.AHRSClient()
    with pytest.raises(exc, match=text):
        c.open(pty.path, *args)


def test_open_takes_keywords_and_a_str_device(pty):
    c = m.AHRSClient()
    with pytest.raises(TypeError, match="argument 'serial_device' must be str"):
        c.open(serial_device=b"/dev/null", baud_rate=9600)
    c.open(serial_device=pty.path, baud_rate=9600)  # keywords work; the device was never taken


@pytest.fixture
def streaming(pty):
    """A client streaming from the pty."""
    c = m.AHRSClient()
    c.open(pty.path, 9600)
    c.start_stream()
    return c


def test_second_open_of_a_held_device_fails_and_keeps_the_first(streaming, pty, fd_capture):
    c = streaming
    with pytest.raises(ValueError, match="SerialPortError"):
        c.open(pty.path, 9600)
    pty.send(GOOD)
    with fd_capture():
        assert c.read_packet() == [ACC]


def test_open_after_streaming_is_configured_again(streaming, pty):
    c = streaming
    c.open_file("/dev/null")
    c.open(pty.path, 9600)  # the old port released the device
    with pytest.raises(ValueError) as info:
        c.read_packet()
    assert info.value.args == NOT_STREAMING


def test_silent_device_times_out(streaming, fd_capture):
    c = streaming
    with fd_capture() as cap:
        start = time.monotonic()
        assert c.read() == {}
        elapsed = time.monotonic() - start
        with pytest.raises(ValueError, match="TimedOut"):
            c.read_packet()
    assert cap.err == "IOERR: Operation timed out\n" * 2
    assert elapsed >= 0.09


def test_bad_checksum_on_device(streaming, pty, fd_capture):
    c = streaming
    bad = corrupted(GOOD)
    pty.send(bad + bad + GOOD)
    with fd_capture() as cap:
        assert c.read() == {}
        assert c.read_packet() == []
        assert c.read_packet() == [ACC]
    lines = cap.err.splitlines()
    assert lines[0].startswith("Error parsing packet: bad checksum: ") and lines[0].endswith(" at 0x0")
    assert lines[1].endswith(f" at 0x{len(bad):x}")
