"""The simulated device's clock against the host's, and the wire's delays.

The device takes sample n at its own time n / rate; on a clock `skew_ppm`
fast, that is the host instant start + n / rate / (1 + skew). Each write
then waits an exponentially distributed time of mean `jitter_us` and never
overtakes the one before it, so writes bunch up as they do behind a USB
adapter. With a truth file, each data packet that goes out adds the line
`device_time,host_ns`: its GPS seconds, as a reader decodes them, and the
time.monotonic_ns() instant at which the device took it.
"""

from __future__ import annotations

import collections
import random
import time
from collections.abc import Iterator, Sequence
from typing import IO

from . import simulated
from .frames import gps_seconds

# A stream stopped longer than this (the process was not scheduled) does not
# burst to catch up.
MAX_BEHIND_NS = 250_000_000


class DeviceClock:
    def __init__(
        self, rate: float, skew_ppm: float = 0.0, jitter_us: float = 0.0, seed: int = 1, truth: IO[str] | None = None
    ) -> None:
        self.rate = float(rate)
        self.period_ns = 1e9 / self.rate / (1.0 + skew_ppm * 1e-6)
        self.jitter_s = jitter_us * 1e-6
        self.rng = random.Random(seed)
        self.truth = truth
        # Only a device whose times are checked keeps its time across a
        # stall of the simulator itself; otherwise the stream resumes where
        # it stood, as it always has.
        self.keeps_time = truth is not None or skew_ppm != 0.0 or jitter_us > 0.0
        self.start_ns = time.monotonic_ns()
        self.sample = 0
        # (write at ns, bytes, truth lines)
        self._delayed: collections.deque[tuple[int, bytes, str]] = collections.deque()
        self._last_write_ns = 0

    def due_ns(self) -> int:
        return self.start_ns + round(self.sample * self.period_ns)

    def resume(self, now_ns: int, ran_on: bool) -> None:
        """After a pause: the device's time ran on meanwhile (it was
        unplugged, or it keeps time), or the stream goes on where it stood."""
        if ran_on:
            self.sample = max(self.sample, int((now_ns - self.start_ns) // self.period_ns))
        else:
            self.start_ns += max(0, now_ns - self.due_ns())

    def due(self, now_ns: int) -> bool:
        """True when the next sample is to be taken."""
        behind = now_ns - self.due_ns()
        if behind > MAX_BEHIND_NS:
            self.resume(now_ns, self.keeps_time)
        return now_ns >= self.due_ns()

    def take(self, packets: Sequence[bytes]) -> None:
        """The current sample's packets (bytes each) are made: they wait
        for the wire, and the next sample is due."""
        due = self.due_ns()
        write_at = due
        if self.jitter_s > 0.0:
            write_at += round(self.rng.expovariate(1.0 / self.jitter_s) * 1e9)
        write_at = max(write_at, self._last_write_ns)
        self._last_write_ns = write_at
        lines = ""
        if self.truth is not None:
            device_time = gps_seconds(simulated.TOW_START + self.sample / self.rate, simulated.GPS_WEEK)
            lines = f"{device_time!r},{due}\n" * len(packets)
        self._delayed.append((write_at, b"".join(packets), lines))
        self.sample += 1

    def ready(self, now_ns: int) -> Iterator[tuple[bytes, str]]:
        """The bytes (and truth lines) whose write time has come."""
        while self._delayed and self._delayed[0][0] <= now_ns:
            _, data, lines = self._delayed.popleft()
            yield data, lines

    def next_event_ns(self) -> int:
        """When something is next to happen: a sample, or a delayed write."""
        due = self.due_ns()
        return min(due, self._delayed[0][0]) if self._delayed else due

    def unplugged(self) -> None:
        """What waited for the wire never reaches a reader."""
        self._delayed.clear()

    def sent(self, lines: str) -> None:
        if self.truth is not None and lines:
            self.truth.write(lines)
