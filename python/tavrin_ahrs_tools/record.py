"""Records the raw byte stream of a serial device into a file.

The file is what `parse_data_stream_py` and `AHRSClient.open_file` read.
Because the first of them stops at the first byte that does not start a
packet, the recording by default begins at the first well-formed packet and
ends after the last complete one; everything in between is copied as
received.  --raw keeps every byte.

The bytes are read by the Sensor's native reader, which writes beside the
recording its host-time sidecar (FILE.times: when each read returned), so
that load() can give every packet the host instant it stands for. Trimming
cuts the sidecar to match.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import termios
import time
from types import FrameType
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .sensor import Sensor

from . import _native
from . import frames as mip
from .cli import add_version, command, open_sensor

SCAN_CHUNK = 1 << 16
TIMES_SUFFIX = ".times"


def standard_bauds() -> list[int]:
    return sorted(
        int(name[1:]) for name in dir(termios) if name[:1] == "B" and name[1:].isdigit() and int(name[1:]) > 0
    )


def baud_constant(baud: int) -> int:
    speed = getattr(termios, f"B{baud}", None)
    if speed is None or baud <= 0:
        rates = ", ".join(map(str, standard_bauds()))
        raise ValueError(f"unsupported baud rate {baud}; standard rates: {rates}")
    return speed


def packet_span(path: str) -> tuple[int, int, int]:
    """(offset of the first well-formed packet, offset after the last, packets)
    of the file; (0, 0, 0) when it holds none."""
    scanner, first, last, packets = mip.PacketScanner(), None, 0, 0
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(SCAN_CHUNK), b""):
            found = scanner.feed(chunk)
            if found:
                first = found[0].start if first is None else first
                last, packets = found[-1].end, packets + len(found)
    return (0, 0, 0) if first is None else (first, last, packets)


def trim(path: str, start: int, end: int) -> None:
    """Keeps only the bytes [start, end) of the recording, and cuts its
    sidecar (when there is one) to match. Both are replaced whole."""
    times_path = path + TIMES_SUFFIX
    try:
        with open(times_path, "rb") as f:
            times = f.read()
    except FileNotFoundError:
        times = None
    if start:
        partial = path + ".partial"
        with open(path, "rb") as src, open(partial, "wb") as dst:
            src.seek(start)
            left = end - start
            while left:
                chunk = src.read(min(SCAN_CHUNK * 16, left))
                if not chunk:
                    break
                dst.write(chunk)
                left -= len(chunk)
        os.replace(partial, path)
    else:
        os.truncate(path, end)
    if times is not None:
        partial = times_path + ".partial"
        with open(partial, "wb") as f:
            f.write(_native.cut_times(times, start, end))
        os.replace(partial, times_path)


class _Stop:
    def __init__(self) -> None:
        self.signum: int | None = None
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, self._handle)

    def _handle(self, signum: int, _frame: FrameType | None) -> None:
        self.signum = signum


def record(sensor: Sensor, seconds: float) -> str:
    """Lets the sensor's reader record for `seconds`; returns why it stopped."""
    stop = _Stop()
    deadline = time.monotonic() + seconds
    while stop.signum is None:
        left = deadline - time.monotonic()
        if left <= 0:
            return "time up"
        if sensor.status != "streaming":
            lost = re.sub(r" \(os error \d+\)$", "", (sensor.error or "end of stream").removeprefix("device lost: "))
            return f"device closed ({lost})"
        sensor.read(timeout=min(left, 0.1))  # samples are not kept: the queue only paces the wait
    return "interrupted"


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Record the raw byte stream of a serial device into a file.")
    add_version(parser)
    parser.add_argument("--device", required=True, help="serial device path, e.g. /dev/ttyACM0")
    parser.add_argument("--baud", type=int, default=115200, help="baud rate; default 115200")
    parser.add_argument("--seconds", type=float, required=True, help="how long to record")
    parser.add_argument("--output", required=True, help="file to write")
    parser.add_argument(
        "--raw", action="store_true", help="keep every byte, even before the first and after the last packet"
    )
    opts = parser.parse_args(argv)
    try:
        baud_constant(opts.baud)
    except ValueError as err:
        parser.error(str(err))
    if opts.seconds <= 0:
        parser.error("--seconds must be greater than zero")
    for flag, path in (("--device", opts.device), ("--output", opts.output)):
        if not path:
            parser.error(f"{flag} must not be empty")
    return opts


@command("ahrs-record")
def main(argv: list[str] | None = None) -> int:

    opts = parse_args(argv)
    sensor = open_sensor(
        "ahrs-record",
        opts.device,
        baud=opts.baud,
        configure=False,
        reconnect=False,
        queue=1,
        overflow="drop-oldest",
        record=opts.output,
    )
    if sensor is None:
        return 1
    started = time.monotonic()
    try:
        why = record(sensor, opts.seconds)
    finally:
        sensor.close()
    took = time.monotonic() - started
    if opts.raw:
        kept, counted = os.path.getsize(opts.output), ""
    else:
        first, last, packets = packet_span(opts.output)
        trim(opts.output, first, last)
        kept, counted = last - first, f", {packets} packets"
    print(f"ahrs-record: {kept} bytes{counted} in {took:.1f} s to {opts.output} ({why})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
