"""MIP packets built and found in pure Python, for the simulator and recorder.

A packet is 75 65, descriptor set, payload length, payload, and a two-byte
Fletcher-style checksum over everything before it.  A payload is a run of
fields, each [length][descriptor][big-endian items].  Needs nothing but the
standard library, so the simulator and the recorder run anywhere; the tests
and the benchmarks build their packets with it too.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Iterator, Sequence
from itertools import accumulate
from operator import mul

SYNC = b"\x75\x65"
SENSOR_SET = 0x80
FILTER_SET = 0x82
COMMAND_SETS = frozenset({0x01, 0x0C, 0x0D, 0x0E, 0x0F, 0x7F})
DESCRIPTOR_SETS = COMMAND_SETS | {0x80, 0x81, 0x82, 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0xA0}
ACK_FIELD = 0xF1
MAX_PACKET = 261

# Per field: descriptor, item formats in wire order (struct codes, big-endian).
SENSOR_LAYOUT = (
    (0x04, "fff"),  # ScaledAccVector
    (0x05, "fff"),  # ScaledGyroVector
    (0x06, "fff"),  # ScaledMageVector
    (0x07, "fff"),  # DeltaThetaVector
    (0x08, "fff"),  # DeltaVelocityVector
    (0x17, "f"),  # ScaledAmbientPressure
    (0x09, "fffffffff"),  # CFOrientationMatrix
    (0x0A, "ffff"),  # CFQuaternion
    (0x0C, "fff"),  # CFEulerAngles
    (0x10, "fff"),  # CFStabilizedNorthVector
    (0x11, "fff"),  # CFStabilizedUpVector
    (0x12, "dHH"),  # GPSCorrelationTimestamp
)

FILTER_LAYOUT = (
    (0x10, "HHH"),  # FilterStatus
    (0x11, "dHH"),  # GPSTimestamp
    (0x03, "ffffH"),  # OrientationQuaternion
    (0x05, "fffH"),  # OrientationEuler
    (0x0A, "fffH"),  # AttitudeUncertaintyEuler
    (0x12, "ffffH"),  # AttitudeUncertaintyQuaternion
    (0x04, "fffffffffH"),  # OrientationMatrix
    (0x0E, "fffH"),  # CompensatedAngularRate
    (0x06, "fffH"),  # GyroBias
    (0x0B, "fffH"),  # GyroBiasUncertainty
    (0x1C, "fffH"),  # CompensatedAcceleration
    (0x0D, "fffH"),  # LinearAcceleration
    (0x21, "fH"),  # PressureAltitude
    (0x13, "fffH"),  # GravityVector
    (0x0F, "fH"),  # WGS84LocalGravityMagnitude
)
# The field of each set whose first item is the GPS time of week.
GPS_TIME_FIELDS = {SENSOR_SET: 0x12, FILTER_SET: 0x11}


def checksum(data: bytes | bytearray) -> bytes:
    """Both sums over `data` (sync bytes included) as the two wire bytes.

    The second sum is the running total of the first, so each byte counts
    once per position still to come: a weighted sum, done without a loop.
    """
    n = len(data)
    first = sum(data) & 0xFF
    second = sum(map(mul, data, range(n, 0, -1))) & 0xFF
    return bytes((first, second))


def frame(descriptor_set: int, payload: bytes) -> bytes:
    """One whole packet around `payload`."""
    if len(payload) > 255:
        raise ValueError(f"payload of {len(payload)} bytes does not fit a packet")
    head = SYNC + bytes((descriptor_set, len(payload))) + payload
    return head + checksum(head)


def field(descriptor: int, formats: str, *values: float) -> bytes:
    body = struct.pack(">" + formats, *values)
    return bytes((len(body) + 2, descriptor)) + body


def walk_fields(payload: bytes) -> Iterator[tuple[int, bytes]]:
    """(descriptor, data) of each field; a zero length byte steps one byte."""
    offset, n = 0, len(payload)
    while offset < n:
        length = payload[offset]
        end = offset + (length or 1)
        body = payload[offset + 1 : min(end, n)]
        if body:
            yield body[0], bytes(body[1:])
        offset = end


class PayloadPacker:
    """Packs one value tuple per field of a layout into a payload, in one call."""

    def __init__(self, layout: Sequence[tuple[int, str]]) -> None:
        self._struct = struct.Struct(">" + "".join("BB" + items for _, items in layout))
        self._heads = [(struct.calcsize(">" + items) + 2, desc) for desc, items in layout]
        self.offsets = list(accumulate((length for length, _ in self._heads), initial=0))[:-1]

    def pack(self, field_values: Iterable[Iterable[float]]) -> bytes:
        flat: list[float] = []
        for head, values in zip(self._heads, field_values):
            flat.extend(head)
            flat.extend(values)
        return self._struct.pack(*flat)


class Packet:
    __slots__ = ("descriptor_set", "payload", "raw", "start")

    def __init__(self, start: int, raw: bytes) -> None:
        self.start = start
        self.raw = raw
        self.descriptor_set = raw[2]
        self.payload = raw[4:-2]

    @property
    def end(self) -> int:
        return self.start + len(self.raw)


class PacketScanner:
    """Finds well-formed packets in a byte stream that arrives piecewise.

    Junk is skipped a byte at a time, and a header whose checksum fails is
    treated as junk too, so a packet right after garbage is still found.
    Holds at most one packet's worth of bytes between calls.
    """

    def __init__(self) -> None:
        self._buf = bytearray()
        self._base = 0  # stream offset of _buf[0]
        self.skipped = 0

    def feed(self, data: bytes | bytearray | memoryview) -> list[Packet]:
        self._buf += data
        found: list[Packet] = []
        while True:
            packet = self._next()
            if packet is None:
                return found
            found.append(packet)

    def _drop(self, count: int, junk: bool) -> None:
        del self._buf[:count]
        self._base += count
        if junk:
            self.skipped += count

    def _next(self) -> Packet | None:
        buf = self._buf
        while True:
            at = buf.find(SYNC)
            if at < 0:
                keep = 1 if buf[-1:] == SYNC[:1] else 0
                self._drop(len(buf) - keep, True)
                return None
            self._drop(at, True)
            if len(buf) < 4:
                return None
            if buf[2] not in DESCRIPTOR_SETS:
                self._drop(1, True)
                continue
            size = buf[3] + 6
            if len(buf) < size:
                return None
            raw = bytes(buf[:size])
            if checksum(raw[:-2]) != raw[-2:]:
                self._drop(1, True)
                continue
            packet = Packet(self._base, raw)
            self._drop(size, False)
            return packet

    def finish(self) -> list[Packet]:
        """The packets still held once no more data will come.

        A start whose packet the end cut short hides nothing behind it: it
        is skipped as junk, a byte at a time, like any failed start.
        """
        found: list[Packet] = []
        while self._buf:
            packet = self._next()
            if packet is not None:
                found.append(packet)
            elif self._buf:
                self._drop(1, True)
        return found
