"""MIP packets built and found in pure Python, for the simulator and recorder.

A packet is 75 65, descriptor set, payload length, payload, and a two-byte
Fletcher-style checksum over everything before it.  A payload is a run of
fields, each [length][descriptor][big-endian items], laid out as the native
record catalogue says through its generated copy, wire_table.  Needs nothing
but the standard library, so the simulator and the recorder run anywhere; the
tests and the benchmarks build their packets with it too.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Iterator, Sequence
from itertools import accumulate
from operator import mul

from . import wire_table

SYNC = wire_table.SYNC
SENSOR_SET = wire_table.DESCRIPTOR_SETS["DataSensor"]
FILTER_SET = wire_table.DESCRIPTOR_SETS["DataEstimationFilter"]
COMMAND_SETS = frozenset(byte for name, byte in wire_table.DESCRIPTOR_SETS.items() if name.startswith("Command"))
DESCRIPTOR_SETS = frozenset(wire_table.DESCRIPTOR_SETS.values())
# The field of a reply that acknowledges a command (the simulator's answer).
ACK_FIELD = 0xF1
MAX_PACKET = wire_table.MAX_PACKET


class Record:
    """A catalogue record as sent: its field descriptor, its items' struct
    codes (big-endian) in wire order, and which items are validity flags."""

    __slots__ = ("name", "descriptor_set", "descriptor", "items", "formats", "flags")

    def __init__(self, name: str, descriptor_set: int, descriptor: int, items: Sequence[tuple[str, str]]) -> None:
        self.name = name
        self.descriptor_set = descriptor_set
        self.descriptor = descriptor
        self.items = tuple(item for item, _code in items)
        self.formats = "".join(wire_table.WIRE_TYPES[code] for _item, code in items)
        self.flags = tuple(i for i, (_item, code) in enumerate(items) if code == "?")


RECORDS = {entry[0]: Record(*entry) for entry in wire_table.RECORDS}


def set_records(descriptor_set: int) -> tuple[Record, ...]:
    """The set's records in catalogue order."""
    return tuple(r for r in RECORDS.values() if r.descriptor_set == descriptor_set)


# Per field: descriptor, item formats in wire order (struct codes, big-endian).
SENSOR_LAYOUT = tuple((r.descriptor, r.formats) for r in set_records(SENSOR_SET))
FILTER_LAYOUT = tuple((r.descriptor, r.formats) for r in set_records(FILTER_SET))
# The record that dates a packet of each set, and its items holding the time of week and the week.
TIME_RECORDS = {
    RECORDS[name].descriptor_set: (RECORDS[name], RECORDS[name].items.index(tow), RECORDS[name].items.index(week))
    for name, (tow, week) in wire_table.TIME_ITEMS.items()
}
GPS_TIME_FIELDS = {descriptor_set: record.descriptor for descriptor_set, (record, *_) in TIME_RECORDS.items()}


def gps_seconds(time_of_week: float, week: float) -> float:
    """A packet's time from its time items: seconds since the start of GPS
    time, so that a week roll-over keeps counting."""
    return week * wire_table.SECONDS_PER_WEEK + time_of_week


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
    """Packs one value tuple per record of a set, in catalogue order, into a payload in one call."""

    def __init__(self, records: Iterable[Record]) -> None:
        self.records = tuple(records)
        self._struct = struct.Struct(">" + "".join("BB" + r.formats for r in self.records))
        self._heads = [(struct.calcsize(">" + r.formats) + 2, r.descriptor) for r in self.records]
        self.offsets = list(accumulate((length for length, _ in self._heads), initial=0))[:-1]

    def item_offset(self, name: str, item: int) -> int:
        """Where in the payload the record's item-th value starts."""
        at = [r.name for r in self.records].index(name)
        return self.offsets[at] + 2 + struct.calcsize(">" + self.records[at].formats[:item])

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
