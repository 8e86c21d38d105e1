"""Simulated AHRS: streams MIP sensor and filter packets on a pseudo-terminal.

The first line on stdout is the device path to open.  Every command packet
read from the device is answered with an acknowledge of the same descriptor
set.  With --record the same stream goes to a file instead; with --replay a
recording goes to the terminal in its original timing.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import random
import struct
import sys
import time
from collections.abc import Callable, Iterator, Mapping
from typing import IO

from . import frames as mip
from . import replay, simulated
from .cli import add_version, command
from .conventions import ConventionsError, parse_conventions
from .device_clock import DeviceClock
from .progress import Progress
from .pty_link import PtyLink, StopSignal

# A real sensor's UART drops what the host does not take; beyond this much
# unread output the paced stream drops whole packets instead of queueing.
MAX_PENDING = 64 * 1024
FAST_SAMPLE_TIME = 10.0  # stream time of the frozen values in --fast mode
DEFAULT_RATE = 100.0


# (where the counter goes, where the checksum goes, the checksum's two sums
# with a zero counter, the weight of each counter byte in the second sum)
Patch = tuple[int, int, int, int, tuple[int, ...]]


def counter_at(packer: simulated.PayloadPacker, descriptor_set: int) -> tuple[int, str]:
    """Where the counter goes in the set's payload, its time-of-week item,
    and that item's struct code."""
    record, tow, _week = mip.TIME_RECORDS[descriptor_set]
    return packer.item_offset(record.name, tow), record.formats[tow]


class CountedBatch:
    """A reusable buffer of `size` alternating counted packets.

    Everything but the counter is frozen, so the packets are built once and
    only the eight counter bytes and the checksum are patched per packet.
    The checksum is linear in the bytes: with a zero counter (all zero
    bytes) the sums are a fixed base, and each counter byte adds itself to
    the first sum and itself times its distance from the end to the second.
    """

    def __init__(self, size: int = 64, convention: Mapping[str, str] | None = None) -> None:
        builder = simulated.PacketBuilder(convention=convention)
        kinds = (
            (builder.sensor(FAST_SAMPLE_TIME, tow=0.0), counter_at(simulated.SENSOR_PACKER, mip.SENSOR_SET)),
            (builder.filter(FAST_SAMPLE_TIME, tow=0.0), counter_at(simulated.FILTER_PACKER, mip.FILTER_SET)),
        )
        if {code for _raw, (_at, code) in kinds} != {"d"}:
            raise ValueError("the counted stream needs a float64 time of week in every set")
        self.buffer = bytearray()
        self.ends: list[int] = []
        self._patches: list[Patch] = []
        for k in range(size):
            raw, (tow_in_payload, _code) = kinds[k % 2]
            self._patches.append(self._patch_for(len(self.buffer), raw, 4 + tow_in_payload))
            self.buffer += raw
            self.ends.append(len(self.buffer))

    @staticmethod
    def _patch_for(start: int, raw: bytes, tow_at: int) -> Patch:
        body = raw[:-2]
        n = len(body)
        weights = tuple(n - (tow_at + i) for i in range(8))
        first = sum(body) & 0xFF
        second = sum(b * (n - i) for i, b in enumerate(body)) & 0xFF
        return start + tow_at, start + n, first, second, weights

    def fill(self, counter: int) -> bytearray:
        """Counters counter, counter+1, ... into the buffer; counter is even."""
        buf = self.buffer
        pack_into = struct.pack_into
        mul = int.__mul__
        for k, (tow_at, sum_at, first, second, weights) in enumerate(self._patches, counter):
            pack_into(">d", buf, tow_at, float(k))
            tow = buf[tow_at : tow_at + 8]
            buf[sum_at] = (first + sum(tow)) & 0xFF
            buf[sum_at + 1] = (second + sum(map(mul, tow, weights))) & 0xFF
        return buf


class Corruptor:
    """Damages a chosen share of packets: junk before it, or one flipped bit."""

    def __init__(self, rate: float, seed: int) -> None:
        self.rate = rate
        self.rng = random.Random(seed)
        self.damaged = 0

    def __call__(self, packet: bytes) -> bytes:
        rng = self.rng
        if self.rate <= 0.0 or rng.random() >= self.rate:
            return packet
        self.damaged += 1
        if rng.random() < 0.5:
            return bytes(rng.randrange(256) for _ in range(rng.randint(1, 8))) + packet
        damaged = bytearray(packet)
        damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        return bytes(damaged)


def stream_paced(link: PtyLink, opts: argparse.Namespace, corrupt: Corruptor, truth: IO[str] | None = None) -> int:
    builder = simulated.PacketBuilder(opts.rate, convention=opts.convention)
    clock = DeviceClock(opts.rate, opts.clock_skew, opts.jitter, opts.seed, truth)
    deadline = link.deadline
    k, limit = 0, opts.count
    unplugs = 0
    while not link.stop.set and (limit is None or k < limit) and time.monotonic() < deadline:
        if link.hung_up():
            clock.unplugged()
            if not link.await_reader():
                return k
            # An unplugged device's time runs on.
            clock.resume(time.monotonic_ns(), clock.keeps_time or link.unplugs != unplugs)
            unplugs = link.unplugs
        now = time.monotonic_ns()
        if clock.due(now):
            pair = 2 if limit is None else min(2, limit - k)
            clock.take([corrupt(builder.packet(2 * clock.sample + i)) for i in range(pair)])
            k += pair
        for data, lines in clock.ready(now):
            if len(link.pending) < MAX_PENDING:
                link.pending += data
                clock.sent(lines)
        link.service(min((clock.next_event_ns() - time.monotonic_ns()) / 1e9, deadline - time.monotonic()))
    link.send_all(b"")
    return k


def stream_fast(link: PtyLink, opts: argparse.Namespace, corrupt: Corruptor) -> int:
    if corrupt.rate > 0.0:
        return _stream_fast_corrupted(link, opts, corrupt)
    batch = CountedBatch(convention=opts.convention)
    size = len(batch.ends)
    deadline = link.deadline
    counter, limit = 0, opts.count
    while not link.stop.set and (limit is None or counter < limit) and time.monotonic() < deadline:
        n = size if limit is None else min(size, limit - counter)
        buf = batch.fill(counter)
        if not link.send_all(memoryview(buf)[: batch.ends[n - 1]]):
            break
        counter += n
    return counter


def _stream_fast_corrupted(link: PtyLink, opts: argparse.Namespace, corrupt: Corruptor) -> int:
    builder = simulated.PacketBuilder(opts.rate, counted=True, convention=opts.convention)
    deadline = link.deadline
    k, limit = 0, opts.count
    while not link.stop.set and (limit is None or k < limit) and time.monotonic() < deadline:
        if not link.send_all(corrupt(builder.packet(k))):
            break
        k += 1
    return k


def _deadline(duration: float | None) -> float:
    return float("inf") if duration is None else time.monotonic() + duration


@contextlib.contextmanager
def _serving(opts: argparse.Namespace, out: IO[str]) -> Iterator[PtyLink]:
    """The pseudo-terminal, its path announced on `out`; on a normal end the
    reader is left time to take what is still queued."""
    stop = StopSignal()
    try:
        link = PtyLink(
            stop,
            opts.linger,
            _deadline(opts.duration),
            opts.link,
            opts.unplug_every,
            lambda path: print(path, file=out, flush=True),
        )
    except BaseException as err:
        stop.close()
        if isinstance(err, OSError) and opts.link is not None:
            sys.exit(f"ahrs-sim: cannot keep a link at {opts.link}: {err.strerror or err}")
        raise
    try:
        print(link.path, file=out, flush=True)
        yield link
        if not stop.set and link.seen_reader and not link.gone:
            link.wait_drained()
    finally:
        link.close()
        stop.close()


def run_pty(opts: argparse.Namespace, out: IO[str] | None = None) -> int:
    corrupt = Corruptor(opts.corrupt_rate, opts.seed)
    try:
        truth = open(opts.truth, "w", encoding="ascii") if opts.truth else None  # noqa: SIM115
    except OSError as err:
        sys.exit(f"ahrs-sim: cannot write {opts.truth}: {err.strerror or err}")
    try:
        with _serving(opts, out or sys.stdout) as link:
            if opts.fast:
                sent = stream_fast(link, opts, corrupt)
            else:
                if truth is not None:
                    truth.write("device_time,host_ns\n")
                sent = stream_paced(link, opts, corrupt, truth)
    finally:
        if truth is not None:
            truth.close()
    unplugs = f", {link.unplugs} unplugs" if opts.unplug_every else ""
    print(
        f"ahrs-sim: {sent} packets, {corrupt.damaged} damaged, {link.replies} commands answered{unplugs}",
        file=sys.stderr,
    )
    return 0


def run_replay(opts: argparse.Namespace, data: replay.RecordingFile) -> int:
    with _serving(opts, sys.stdout) as link, Progress(len(data), os.path.basename(opts.replay)) as bar:
        player = replay.Replay(link, data, opts.speed, opts.loop, bar.update)
        try:
            player.run()
        except replay.FileShrank as err:
            print(f"ahrs-sim: {opts.replay}: {err}", file=sys.stderr)
            return 1
    print(f"ahrs-sim: replayed {player.summary()} of {opts.replay}, {link.replies} commands answered", file=sys.stderr)
    return 0


def run_record(opts: argparse.Namespace) -> int:
    stop = StopSignal()
    builder = simulated.PacketBuilder(opts.rate, counted=opts.fast, convention=opts.convention)
    corrupt = Corruptor(opts.corrupt_rate, opts.seed)
    total = 2 * round(opts.rate * opts.seconds) if opts.seconds is not None else opts.count
    if opts.count is not None:
        total = min(total, opts.count)
    written = 0
    try:
        with open(opts.record, "wb") as sink:
            while written < total and not stop.set:
                sink.write(corrupt(builder.packet(written)))
                written += 1
    finally:
        stop.close()
    print(f"ahrs-sim: {written} packets, {corrupt.damaged} damaged, to {opts.record}", file=sys.stderr)
    return 0


def _probability(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text} is not a probability between 0 and 1")
    return value


def _positive(kind: Callable[[str], float]) -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError(f"{text} must be greater than zero")
        return value

    return parse


def _not_negative(text: str) -> float:
    value = float(text)
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"{text} must be zero or more")
    return value


def _convention(text: str) -> dict[str, str]:
    try:
        found = parse_conventions(text)
    except ConventionsError as err:
        raise argparse.ArgumentTypeError(str(err)) from None
    return {name: value for name, value in vars(found).items() if value is not None}


# What a replay cannot honour: the recording decides the packets and their pace.
_NOT_WITH_REPLAY = ("rate", "count", "fast", "record", "seconds", "convention")


def _check_replay(parser: argparse.ArgumentParser, opts: argparse.Namespace) -> None:
    if opts.replay is None:
        for name in ("speed", "loop"):
            if getattr(opts, name) not in (None, False):
                parser.error(f"--{name} goes with --replay")
        return
    for name in _NOT_WITH_REPLAY:
        if getattr(opts, name) not in (None, False):
            parser.error(f"--{name} does not go with --replay")
    if opts.corrupt_rate:
        parser.error("--corrupt-rate does not go with --replay")
    if opts.speed is None:
        opts.speed = 1.0


def _check_clock(parser: argparse.ArgumentParser, opts: argparse.Namespace) -> None:
    """The device clock's options go with a paced stream on a terminal."""
    if not (opts.clock_skew or opts.jitter or opts.truth):
        return
    if not -1e5 < opts.clock_skew < 1e5:
        parser.error(f"--clock-skew {opts.clock_skew:g} is not between -100000 and 100000 ppm")
    for name in ("fast", "record", "replay"):
        if getattr(opts, name) not in (None, False):
            parser.error(f"--clock-skew, --jitter and --truth do not go with --{name}")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Simulated AHRS streaming MIP packets on a pseudo-terminal, "
        "writing them to a file, or playing a recording back."
    )
    add_version(parser)
    parser.add_argument(
        "--rate", type=_positive(float), help="packets of each kind (sensor and filter) per second; default 100"
    )
    parser.add_argument("--count", type=_positive(int), help="stop after this many packets (both kinds together)")
    parser.add_argument("--duration", type=_positive(float), help="stop after this many seconds")
    parser.add_argument(
        "--fast",
        action="store_true",
        help="write as fast as the terminal takes; the GPS time-of-week "
        "items carry a running packet counter instead of a time",
    )
    parser.add_argument(
        "--corrupt-rate",
        type=_probability,
        default=0.0,
        metavar="P",
        help="chance per packet of junk bytes before it or a flipped bit in it",
    )
    parser.add_argument("--seed", type=int, default=1, help="seed for the corruption")
    parser.add_argument(
        "--linger",
        type=float,
        default=1.0,
        help="seconds to wait for a reader to reopen the device before exiting once it has closed it; default 1",
    )
    parser.add_argument(
        "--link", metavar="PATH", help="keep a symlink at PATH to the current terminal, as udev keeps /dev/serial/by-id"
    )
    parser.add_argument(
        "--unplug-every",
        type=_positive(float),
        metavar="S",
        help="close the terminal every S seconds and open a new one (a new "
        "path, printed on a line of its own), as a cable pulled and "
        "plugged back in",
    )
    parser.add_argument(
        "--convention",
        type=_convention,
        metavar="C,...",
        help="how the attitude is written, e.g. wxyz,body_to_world,XYZ,enu "
        "(quaternion wxyz/xyzw, matrix body_to_world/world_to_body, Euler "
        "turn order, world ned/enu; parts left out keep the default "
        "xyzw,world_to_body,ZYX,ned)",
    )
    parser.add_argument(
        "--clock-skew",
        type=float,
        default=0.0,
        metavar="PPM",
        help="the device clock runs PPM parts per million fast (negative: slow) against the host's",
    )
    parser.add_argument(
        "--jitter",
        type=_not_negative,
        default=0.0,
        metavar="US",
        help="delay each write by an exponentially distributed time of mean US "
        "microseconds; writes keep their order, so they bunch up",
    )
    parser.add_argument(
        "--truth",
        metavar="FILE",
        help="write one CSV line per data packet sent, device_time,host_ns: its "
        "GPS seconds and the time.monotonic_ns() instant the device took it",
    )
    parser.add_argument(
        "--record", metavar="FILE", help="write the stream to FILE as fast as possible instead of a pty"
    )
    parser.add_argument("--seconds", type=_positive(float), help="with --record: seconds of stream to write")
    parser.add_argument(
        "--replay",
        metavar="FILE",
        help="play a recording into the terminal, timed by its GPS time-of-week items, instead of simulating",
    )
    parser.add_argument(
        "--speed",
        type=_not_negative,
        metavar="X",
        help="with --replay: play X times faster; 0 as fast as the reader takes it; default 1",
    )
    parser.add_argument("--loop", action="store_true", help="with --replay: start again from the beginning at the end")
    opts = parser.parse_args(argv)
    _check_replay(parser, opts)
    if opts.rate is None:
        opts.rate = DEFAULT_RATE
    if opts.record and opts.seconds is None and opts.count is None:
        parser.error("--record needs --seconds or --count")
    if opts.seconds is not None and not opts.record:
        parser.error("--seconds goes with --record (use --duration on a pty)")
    for name in ("link", "unplug_every"):
        if opts.record and getattr(opts, name) is not None:
            parser.error(f"--{name.replace('_', '-')} needs a terminal, not --record")
    _check_clock(parser, opts)
    return opts


@command("ahrs-sim")
def main(argv: list[str] | None = None) -> int:

    opts = parse_args(argv)
    if opts.replay is not None:
        try:
            data = replay.open_recording(opts.replay)
        except OSError as err:
            print(f"ahrs-sim: cannot read {opts.replay}: {err.strerror or err}", file=sys.stderr)
            return 1
        return run_replay(opts, data)
    return run_record(opts) if opts.record else run_pty(opts)


if __name__ == "__main__":
    sys.exit(main())
