"""False headers: 75 65 80 FF (a valid descriptor set and the largest
length, then nothing more) before every tenth of 20,000 valid packets. The
failed attempt swallows the next 257 bytes as payload and checksum; the
reader must step back to the real packet right behind the false header and
lose nothing, from a recorded file and from a live pseudo-terminal."""

import random
import struct
import threading
import time

from conftest import write_all
from mip import ESTIMATE, SENSOR, acc, euler, field, packet

import tavrin_ahrs_driver as m

COUNT = 20_000
FALSE_HEADER = bytes.fromhex("756580ff")
# A payload value whose bytes are a false header too.
TRAP = struct.unpack(">f", FALSE_HEADER)[0]
END_OF_DATA_CALLS = 300


def counted_packet(n: int) -> bytes:
    """Sensor or filter packet carrying n as its GPS time of week."""
    if n % 3:
        return packet(SENSOR, acc(TRAP, 2.0, 3.0) + field(0x12, "dHH", float(n), 2300, 7))
    return packet(ESTIMATE, field(0x11, "dHH", float(n), 2300, 1) + euler())


def build_stream():
    """The stream, and the offsets where a writer may pause without cutting
    a valid packet after its sync bytes (which would lose it by design)."""
    parts, pauses, offset = [], [], 0
    for n in range(COUNT):
        if n % 10 == 0:
            pauses += range(offset + 1, offset + 4)
            parts.append(FALSE_HEADER)
            offset += len(FALSE_HEADER)
        pauses += (offset, offset + 1)  # before the packet, between its sync bytes
        parts.append(counted_packet(n))
        offset += len(parts[-1])
    return b"".join(parts), pauses


STREAM, PAUSES = build_stream()


def counter(snapshot: dict):
    if snapshot.get("type") == "sensor":
        return snapshot["GPSCorrelationTimestamp"]["gps_time_of_week"]
    if snapshot.get("type") == "estimate":
        return snapshot["GPSTimestamp"]["time_of_week"]
    return snapshot


def test_file_with_false_headers_loses_nothing(tmp_path, fd_capture):
    path = tmp_path / "stream.bin"
    path.write_bytes(STREAM)
    client = m.AHRSClient()
    client.open_file(str(path))
    counters, empty_in_a_row = [], 0
    with fd_capture() as cap:
        # Past the end of data every call is empty; no resynchronisation
        # takes this many calls in a row (at most 261 bytes are skipped).
        while empty_in_a_row < END_OF_DATA_CALLS:
            snapshot = client.read()
            empty_in_a_row = 0 if snapshot else empty_in_a_row + 1
            if snapshot:
                counters.append(counter(snapshot))
    assert counters == list(range(COUNT))
    assert cap.out.count("Parsed packet: ") == COUNT
    assert cap.err == "IOERR: failed to fill whole buffer\n" * END_OF_DATA_CALLS


def write_in_chunks(fd: int, data: bytes, ends):
    start = 0
    for end in ends:
        write_all(fd, data[start:end])
        start = end


def test_pseudo_terminal_with_false_headers_loses_nothing(pty, fd_capture):
    client = m.AHRSClient()
    client.open(pty.path, 115200)
    client.start_stream()
    rng = random.Random(COUNT)
    ends = sorted(rng.sample(PAUSES, 24)) + [len(STREAM)]
    writer = threading.Thread(target=write_in_chunks, args=(pty.master, STREAM, ends), daemon=True)
    counters, quiet_since = [], None
    deadline = time.monotonic() + 60
    with fd_capture() as cap:
        writer.start()
        # Read while the writer is busy, so it never blocks on a full
        # terminal, then until every packet is in or the line stays quiet.
        while time.monotonic() < deadline:
            snapshot = client.read()
            if snapshot:
                counters.append(counter(snapshot))
                quiet_since = None
            elif not writer.is_alive():
                quiet_since = quiet_since or time.monotonic()
                if len(counters) >= COUNT or time.monotonic() - quiet_since > 0.5:
                    break
    writer.join(timeout=5)
    assert counters == list(range(COUNT))
    assert cap.err.count("Error parsing packet: ") >= COUNT // 10
