"""Records the raw byte stream of a serial device into a file.

The file is what `parse_data_stream_py` and `AHRSClient.open_file` read.
Because the first of them stops at the first byte that does not start a
packet, the recording by default begins at the first well-formed packet and
ends after the last complete one; everything in between is copied as
received.  --raw keeps every byte.
"""

from __future__ import annotations

import argparse
import os
import select
import signal
import sys
import termios
import time
from types import FrameType
from typing import BinaryIO

from . import frames as mip
from .cli import add_version, command

READ_SIZE = 65536


def standard_bauds() -> list[int]:
    return sorted(int(name[1:]) for name in dir(termios)
                  if name[:1] == "B" and name[1:].isdigit() and int(name[1:]) > 0)


def baud_constant(baud: int) -> int:
    speed = getattr(termios, f"B{baud}", None)
    if speed is None or baud <= 0:
        rates = ", ".join(map(str, standard_bauds()))
        raise ValueError(f"unsupported baud rate {baud}; standard rates: {rates}")
    return speed


def open_raw(device: str, baud: int) -> int:
    """Open `device` for reading, raw 8N1, no flow control, input flushed."""
    speed = baud_constant(baud)
    fd = os.open(device, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP
                   | termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON
                   | termios.IXOFF | termios.IXANY | termios.INPCK)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG
                   | termios.IEXTEN)
        cflag &= ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
        cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
        cc[termios.VMIN] = 0
        cc[termios.VTIME] = 0
        termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])
        termios.tcflush(fd, termios.TCIFLUSH)
    except termios.error as err:
        os.close(fd)
        raise OSError(f"not a serial device ({err.args[-1]})") from None
    return fd


class PacketTrimmer:
    """Passes a byte stream through, cut to start at its first well-formed
    packet; remembers where the last complete packet ended."""

    def __init__(self, sink: BinaryIO) -> None:
        self.sink = sink
        self.scanner = mip.PacketScanner()
        self.head: bytearray | None = bytearray()  # bytes not yet written while no packet is found
        self.head_at = 0          # stream offset of head[0]
        self.start: int | None = None     # stream offset of the first packet
        self.last_end: int | None = None  # stream offset just after the last packet
        self.packets = 0

    def feed(self, data: bytes) -> None:
        found = self.scanner.feed(data)
        if found:
            self.packets += len(found)
            self.last_end = found[-1].end
        if self.start is not None:
            self.sink.write(data)
            return
        assert self.head is not None  # dropped only once the first packet is found
        self.head += data
        if found:
            self.start = found[0].start
            self.sink.write(self.head[self.start - self.head_at:])
            self.head = None
        elif len(self.head) > 2 * mip.MAX_PACKET:
            cut = len(self.head) - mip.MAX_PACKET
            del self.head[:cut]
            self.head_at += cut

    def finish(self) -> int:
        """Drop a trailing incomplete packet; returns the bytes kept."""
        if self.start is None or self.last_end is None:
            self.sink.truncate(0)
            return 0
        kept = self.last_end - self.start
        self.sink.truncate(kept)
        return kept


class RawCopy:
    def __init__(self, sink: BinaryIO) -> None:
        self.sink = sink
        self.total = 0
        self.packets: int | None = None

    def feed(self, data: bytes) -> None:
        self.sink.write(data)
        self.total += len(data)

    def finish(self) -> int:
        return self.total


class _Stop:
    def __init__(self) -> None:
        self.signum: int | None = None
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, self._handle)

    def _handle(self, signum: int, _frame: FrameType | None) -> None:
        self.signum = signum


def record(fd: int, sink: BinaryIO, seconds: float, raw: bool = False) -> tuple[int, int | None, str]:
    """Copy from `fd` into `sink` for `seconds`; returns (bytes kept, packets, why)."""
    copier: RawCopy | PacketTrimmer = RawCopy(sink) if raw else PacketTrimmer(sink)
    stop = _Stop()
    deadline = time.monotonic() + seconds
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    why = "time up"
    while stop.signum is None:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        events = poller.poll(min(left, 0.1) * 1000)
        if not events:
            continue
        try:
            data = os.read(fd, READ_SIZE)
        except BlockingIOError:
            continue
        except OSError as err:  # EIO: the far end of the line hung up
            why = f"device closed ({err.strerror})"
            break
        if not data:
            why = "device closed"
            break
        copier.feed(data)
    if stop.signum is not None:
        why = "interrupted"
    sink.flush()
    return copier.finish(), copier.packets, why


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Record the raw byte stream of a serial device into a file.")
    add_version(parser)
    parser.add_argument("--device", required=True, help="serial device path, e.g. /dev/ttyACM0")
    parser.add_argument("--baud", type=int, default=115200, help="baud rate; default 115200")
    parser.add_argument("--seconds", type=float, required=True, help="how long to record")
    parser.add_argument("--output", required=True, help="file to write")
    parser.add_argument("--raw", action="store_true",
                        help="keep every byte, even before the first and after the last packet")
    opts = parser.parse_args(argv)
    try:
        baud_constant(opts.baud)
    except ValueError as err:
        parser.error(str(err))
    if opts.seconds <= 0:
        parser.error("--seconds must be greater than zero")
    return opts


@command("ahrs-record")
def main(argv: list[str] | None = None) -> int:

    opts = parse_args(argv)
    try:
        fd = open_raw(opts.device, opts.baud)
    except OSError as err:
        why = err.strerror or err
        if isinstance(err, FileNotFoundError):
            from .ports import describe_ports  # pyserial's listing, only when it helps
            why = f"{why} ({describe_ports()})"
        print(f"ahrs-record: cannot open {opts.device}: {why}", file=sys.stderr)
        return 1
    started = time.monotonic()
    try:
        with open(opts.output, "wb") as sink:
            kept, packets, why = record(fd, sink, opts.seconds, opts.raw)
    finally:
        os.close(fd)
    took = time.monotonic() - started
    counted = "" if packets is None else f", {packets} packets"
    print(f"ahrs-record: {kept} bytes{counted} in {took:.1f} s to {opts.output} ({why})",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
