"""Plays a recording back into the simulator's terminal in its own time.

Every byte of the file goes out, damaged runs included, so a reader sees the
stream exactly as it was recorded.  The file is cut into runs that go out
together: a run starts at a packet that carries a GPS time (with the junk in
front of it) and holds the untimed packets that follow it.  A run is due
when as much time has passed, divided by the speed, as the recording's own
clock says.

A time that cannot be right (not finite, or a jump forward by more than a
second and more than ten periods, as a receiver without a fix sends before
it knows the week) paces nothing: its run goes out as an untimed one would,
and the clock starts again from it.
"""

from __future__ import annotations

import math
import os
import statistics
import struct
import time
from collections import deque
from collections.abc import Callable, Iterator
from typing import BinaryIO

from . import frames
from .pty_link import PtyLink

# A run of packets: (its time or None, first byte, end, packets in it).
Run = tuple[float | None, int, int, int]

SCAN_CHUNK = 1 << 16
SEND_CHUNK = 1 << 16
# A reader that went away (or could not keep up) for longer than this
# resumes from where it is, instead of receiving everything it missed in
# one burst.
LATE_REBASE = 0.25
# A jump forward by more than both of these is no step of the recording's clock.
JUMP_SECONDS = 1.0
JUMP_PERIODS = 10
_PERIODS_KEPT = 15  # the median period is that of the latest steps
# A round of a loop lasts at least this, so that a file with nothing to pace
# does not spin.
MIN_ROUND = 0.01


# Per set: (the dating record's field descriptor, its items as sent, where
# its time of week and week are among them, which of them are validity flags).
_TIME_FIELDS = {
    descriptor_set: (record.descriptor, struct.Struct(">" + record.formats), tow, week, record.flags)
    for descriptor_set, (record, tow, week) in frames.TIME_RECORDS.items()
}


def packet_time(packet: frames.Packet) -> float | None:
    """Seconds since the start of GPS time from the packet's time-of-week
    field (week included, so a week roll-over keeps counting), or None.
    A packet with several takes the last, and a field the decoder would not
    take (too short, or a validity flag other than 0 and 1) is none: the
    time is the one the recording's tables give the packet.

    Walks the fields by their length bytes without copying them: this runs
    once per packet of what may be a long recording.
    """
    wanted = _TIME_FIELDS.get(packet.descriptor_set)
    if wanted is None:
        return None
    descriptor, items, tow, week, flags = wanted
    need = 2 + items.size
    payload = packet.payload
    at, end, found = 0, len(payload), None
    while at + 1 < end:
        length = payload[at]
        if payload[at + 1] == descriptor and length >= need and at + need <= end:
            values = items.unpack_from(payload, at + 2)
            for i in flags:
                if values[i] > 1:
                    break
            else:
                found = values
        at += length or 1
    if found is None:
        return None
    return frames.gps_seconds(found[tow], found[week])


def _packets(data: RecordingFile | bytes) -> Iterator[frames.Packet]:
    scanner = frames.PacketScanner()
    for at in range(0, len(data), SCAN_CHUNK):
        yield from scanner.feed(data[at : at + SCAN_CHUNK])
    yield from scanner.finish()


def timed_runs(data: RecordingFile | bytes) -> Iterator[Run]:
    """(time or None, start, end, packets) of each run, covering `data`
    from its first byte to its last without a gap."""
    start, when, packets, last_end = 0, None, 0, 0
    for packet in _packets(data):
        t = packet_time(packet)
        if t is not None and packets:
            yield when, start, last_end, packets
            start, when, packets = last_end, t, 0
        elif t is not None:
            when = t
        packets += 1
        last_end = packet.end
    if len(data) > start:
        yield when, start, len(data), packets


class Clock:
    """Maps the recording's time onto the monotonic clock, `speed` times faster."""

    def __init__(self, speed: float) -> None:
        self.speed = speed
        self.origin: tuple[float, float] | None = None  # (recording time, monotonic time)
        self.last: float | None = None  # the last finite time seen
        self.steps: deque[float] = deque(maxlen=_PERIODS_KEPT)
        self.odd = 0  # times that paced nothing
        self.paced = 0.0  # recording seconds paced this round: its sound steps

    def _jumps(self, when: float) -> bool:
        if self.last is None:
            return False
        step = when - self.last
        limit = max(JUMP_SECONDS, JUMP_PERIODS * statistics.median(self.steps)) if self.steps else JUMP_SECONDS
        if step > limit:
            return True
        if step > 0:
            self.steps.append(step)
            self.paced += step
        return False

    def due(self, when: float | None) -> float | None:
        """The monotonic time at which a run stamped `when` goes out; None
        for at once."""
        if when is None or self.speed == 0:
            return None
        if not math.isfinite(when):
            self.odd += 1
            return None
        jumped = self._jumps(when)
        self.last = when
        now = time.monotonic()
        if jumped or self.origin is None or when < self.origin[0]:  # start, time ran backwards or jumped
            self.odd += jumped
            self.origin = (when, now)
            return None
        due = self.origin[1] + (when - self.origin[0]) / self.speed
        if now - due > LATE_REBASE:
            self.origin = (when, now)
            return None
        return due

    def new_round(self) -> float:
        """Seconds of wall time the round just ended should have lasted, at
        least; the clock then starts again."""
        span = self.paced / self.speed if self.speed else 0.0
        self.origin, self.last, self.paced = None, None, 0.0
        return max(span, MIN_ROUND)


class FileShrank(OSError):
    """The recording became shorter than it was while it was replayed."""


class RecordingFile:
    """A recording's bytes, read on demand by offset as `data[start:end]`.

    Read rather than mapped: a mapped file cut short while it plays would
    end the process with SIGBUS. Bytes that are no longer there raise
    FileShrank.
    """

    def __init__(self, f: BinaryIO) -> None:
        self._file = f
        self._size = os.fstat(f.fileno()).st_size

    def __len__(self) -> int:
        return self._size

    def __getitem__(self, part: slice) -> bytes:
        start, stop, _ = part.indices(self._size)
        got = os.pread(self._file.fileno(), max(stop - start, 0), start)
        if len(got) < stop - start:
            now = os.fstat(self._file.fileno()).st_size
            raise FileShrank(f"the file shrank to {now:,} bytes while it was replayed")
        return got

    def close(self) -> None:
        self._file.close()


def open_recording(path: str) -> RecordingFile:
    """The file, for reading by offset; raises OSError when it cannot be read."""
    return RecordingFile(open(path, "rb"))


class Replay:
    """Sends a recording through a `PtyLink`, once or round and round."""

    def __init__(
        self,
        link: PtyLink,
        data: RecordingFile | bytes,
        speed: float,
        loop: bool,
        progress: Callable[[int], object] | None = None,
    ) -> None:
        self.link = link
        self.progress = progress or (lambda done: None)  # told the bytes sent this round
        self.data = data
        self.clock = Clock(speed)
        self.loop = loop
        self.packets = 0  # counted only when paced: flat out does not look for packets
        self.rounds = 0

    def _over(self) -> bool:
        link = self.link
        return link.stop.set or time.monotonic() >= link.deadline

    def _wait_until(self, due: float) -> None:
        while not self._over():
            left = due - time.monotonic()
            if left <= 0:
                return
            self.link.service(min(left, 0.1))

    def _send(self, start: int, end: int) -> bool:
        for at in range(start, end, SEND_CHUNK):
            upto = min(end, at + SEND_CHUNK)
            if not self.link.send_all(self.data[at:upto]):
                return False
            self.progress(upto)
        return True

    def _one_round(self) -> bool:
        """True when the whole file went out."""
        if self.clock.speed == 0:  # no clock to follow: the file as it is, in big writes
            return self._send(0, len(self.data))
        held = held_packets = 0  # bytes due now but not yet sent, from `held`
        for when, start, end, packets in timed_runs(self.data):
            if self._over():
                return False
            due = self.clock.due(when)
            if due is not None:
                if not self._send(held, start):
                    return False
                self.packets += held_packets
                held, held_packets = start, 0
                self._wait_until(due)
            held_packets += packets
            if end - held >= SEND_CHUNK or due is not None:
                if not self._send(held, end):
                    return False
                self.packets += held_packets
                held, held_packets = end, 0
        if not self._send(held, len(self.data)):
            return False
        self.packets += held_packets
        return True

    def run(self) -> None:
        started = time.monotonic()
        while self._one_round():
            self.rounds += 1
            if not self.loop or not self.data:
                break
            self._wait_until(started + self.clock.new_round())
            started = time.monotonic()

    def summary(self) -> str:

        sent = f"{len(self.data) * self.rounds:,} bytes" if self.clock.speed == 0 else f"{self.packets:,} packets"
        odd = self.clock.odd
        jumps = f", {odd:,} odd time{'s' * (odd != 1)} not paced" if odd else ""
        return f"{sent} ({self.rounds} round{'s' * (self.rounds != 1)}{jumps})"
