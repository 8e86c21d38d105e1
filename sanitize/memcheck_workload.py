"""What the valgrind run executes: every entry point of the module, on a real
recorded file and a real pseudo-terminal, a few dozen times over, so that a
per-call leak adds up to a definite loss while memcheck's pace stays
bearable. Exits non-zero when a result is not what the driver promises.

The module writes its diagnostics to descriptors 1 and 2 itself; they go to
/dev/null while it runs, so valgrind's report stays readable.
"""

import contextlib
import os
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from streaming_pty import StreamingPty  # noqa: E402

import tavrin_ahrs_driver as m  # noqa: E402
from tavrin_ahrs_tools.frames import frame  # noqa: E402
from tavrin_ahrs_tools.simulated import PacketBuilder  # noqa: E402

ROUNDS = 20


@contextlib.contextmanager
def quiet():
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.dup2(null, 2)
    try:
        yield
    finally:
        for fd, old in zip((1, 2), saved):
            os.dup2(old, fd)
            os.close(old)
        os.close(null)


def recording() -> bytes:
    """Sensor and filter packets, with a stray byte, a bad checksum and a
    packet of another descriptor set among them, and half a packet at the end."""
    builder = PacketBuilder()
    packets = [builder.packet(k) for k in range(40)]
    bad = bytearray(packets[5])
    bad[-1] ^= 0xFF
    packets[5] = bytes(bad)
    packets[9] = b"\x42" + packets[9]
    packets.append(frame(0x01, b"\x04\xf1\x01\x00"))
    return b"".join(packets) + packets[0][:30]


def check(condition, what):
    if not condition:
        raise SystemExit(f"memcheck workload: {what}")


def parse_stream(path):
    for _ in range(ROUNDS):
        check(m.parse_data_stream_py(str(path)) is None, "parse_data_stream_py")
    try:
        m.parse_data_stream_py(str(path) + ".missing")
    except OSError:
        pass
    else:
        check(False, "parse_data_stream_py of a missing file")


def sync_client(path):
    for _ in range(ROUNDS):
        client = m.AHRSClient()
        client.open_file(str(path))
        snapshots = readings = 0
        for _ in range(200):
            snapshots += bool(client.read())
            try:
                readings += len(client.read_packet())
            except ValueError:
                break
        check(snapshots > 10 and readings > 10, "AHRSClient on a file")
        with contextlib.suppress(ValueError):
            client.open_file(str(path) + ".missing")
        client.start_stream()


def buffered_client(stream):
    device = StreamingPty(stream)
    try:
        for capacity in [8] * (ROUNDS // 2) + [0, 1]:
            client = m.BufferedAHRSClient(device.path, 115200, capacity, False)
            items, deadline = [], time.monotonic() + 60
            while len(items) < 4 and time.monotonic() < deadline:
                items += client.take()
                time.sleep(0.01)
            check(len(items) >= 4 and all(len(i) == 2 for i in items), "BufferedAHRSClient take")
            del client
    finally:
        device.close()
    missing = m.BufferedAHRSClient("/dev/does-not-exist", 9600, 2, True)
    time.sleep(0.2)
    check(missing.take() == [], "BufferedAHRSClient on a missing device")


def main():
    stream = recording()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "recording.bin"
        path.write_bytes(stream)
        with quiet():
            parse_stream(path)
            sync_client(path)
            buffered_client(stream)


if __name__ == "__main__":
    main()
