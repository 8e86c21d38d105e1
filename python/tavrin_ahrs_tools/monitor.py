"""A live view of a sensor, for bringing up hardware.

On a terminal a compact block is redrawn five times a second; on a pipe or
into a file one JSON line goes out a second, with the same content: the rate
of each descriptor set, the latest attitude in degrees (radians in the JSON lines, as in the tables), the
filter's state,
the reader's counters, its status and reconnects.
"""

from __future__ import annotations

import argparse
import collections
import json
import math
import sys
import time
from collections.abc import Mapping
from typing import IO, TYPE_CHECKING, Any, Protocol

from .cli import add_version, command, open_sensor
from .units import add_units_option, declare_units, to_si

if TYPE_CHECKING:
    from rich.table import Table

    from . import Sample, Sensor

# What one view shows: JSON-ready, by key.
Content = dict[str, Any]

TERMINAL_INTERVAL = 0.2
PIPE_INTERVAL = 1.0
RATE_WINDOW = 1.0  # seconds of packet counts behind each rate
ATTITUDE_RECORDS = ("CFEulerAngles", "OrientationEuler")
FILTER_RECORD = "FilterStatus"
COMMAND_SETS = "Command"  # replies to the configuration, not a stream with a rate
_INSTALL_RICH = "ahrs-monitor needs rich on a terminal: pip install 'tavrin_ahrs_driver[monitor]'"


# As in the recordings' tables: angles in radians, times in seconds.
UNITS = {"attitude": "rad", "device_time": "s", "rates": "1/s", "error_age": "s"}


def counted(n: int, noun: str, plural: str | None = None) -> str:
    """'1 run', '2 runs': a count with its noun in correct English."""
    return f"{n} {noun if n == 1 else plural or noun + 's'}"


def _finite(value: float | None) -> float | None:
    """JSON has no not-a-number nor infinities."""
    return value if value is None or math.isfinite(value) else None


def _angles(reading: Mapping[str, Any], declared: Mapping[str, str]) -> dict[str, Any]:
    """Roll, pitch and yaw in radians, from the units the record is declared in."""
    view: dict[str, Any] = {axis: _finite(to_si(reading[axis], declared[axis])[0]) for axis in ("roll", "pitch", "yaw")}
    if "valid" in reading:
        view["valid"] = reading["valid"]
    return view


class Rates:
    """Packets a second of each set, over the last RATE_WINDOW seconds of
    the reader's own counts (so samples the view never looked at count)."""

    def __init__(self) -> None:
        # (monotonic time, {set: packets})
        self._counts: collections.deque[tuple[float, dict[str, int]]] = collections.deque()

    def update(self, now: float, packets: Mapping[str, int]) -> dict[str, float]:
        packets = {name: n for name, n in packets.items() if not name.startswith(COMMAND_SETS)}
        counts = self._counts
        counts.append((now, packets))
        while len(counts) > 2 and now - counts[1][0] >= RATE_WINDOW:
            counts.popleft()
        then, before = counts[0]
        span = now - then
        return {name: round((n - before.get(name, 0)) / span, 1) if span > 0 else 0.0 for name, n in packets.items()}


class View:
    """What the monitor shows, gathered from the samples and the counters."""

    def __init__(self, sensor: Sensor) -> None:
        from .columnar import record_units

        self.sensor = sensor
        self.declared = record_units()  # with the table of --units, if given
        self.readings: dict[str, Any] = {}
        self.device_time: float | None = None
        self.rates = Rates()
        self._loss: tuple[str, float] | tuple[None, None] = (None, None)  # (reason, monotonic time it was first seen)

    def add(self, sample: Sample) -> None:
        self.readings.update(sample.readings)
        if sample.device_time is not None:
            self.device_time = sample.device_time

    def _loss_age(self, now: float, status: str, error: str | None) -> float | None:
        """Seconds since the latest loss began; a new reason, or the sensor
        going away again, starts the clock afresh."""
        reason = self._loss[0]
        if error is None:
            self._loss = (None, None)
            return None
        if error != reason or (status != "streaming" and self._streaming):
            self._loss = (error, now)
        self._streaming = status == "streaming"
        started = self._loss[1]
        assert started is not None  # a loss under way has its start
        return round(now - started, 1)

    _streaming = True

    def content(self, now: float) -> Content:
        sensor = self.sensor
        stats = sensor.stats
        status, error = sensor.status, sensor.error
        return {
            "port": sensor.port,
            "status": status,
            "reconnects": stats["reconnects"],
            "error": error,
            "error_age": self._loss_age(now, status, error),
            "rates": self.rates.update(now, stats["packets"]),
            "device_time": _finite(self.device_time),
            "units": UNITS,
            "attitude": {
                name: _angles(self.readings[name], self.declared[name])
                for name in ATTITUDE_RECORDS
                if name in self.readings
            },
            "filter": self.readings.get(FILTER_RECORD),
            "stats": stats,
        }


class Display(Protocol):
    """Where the view goes, every `interval` seconds."""

    interval: float

    def show(self, content: Content) -> None: ...
    def close(self) -> None: ...


class JsonLines:
    interval = PIPE_INTERVAL

    def __init__(self, out: IO[str]) -> None:
        self.out = out

    def show(self, content: Content) -> None:
        self.out.write(json.dumps(content) + "\n")
        self.out.flush()

    def close(self) -> None:
        pass


class Screen:
    """The block, redrawn in place by rich."""

    interval = TERMINAL_INTERVAL

    def __init__(self, out: IO[str]) -> None:
        from rich.console import Console
        from rich.live import Live

        self._live = Live(console=Console(file=out), auto_refresh=False, transient=False)
        self._live.start()

    def show(self, content: Content) -> None:
        self._live.update(render(content), refresh=True)

    def close(self) -> None:
        self._live.stop()


def _number(value: float | None) -> str:
    return "-" if value is None else f"{math.degrees(value):8.3f}"


def render(content: Content) -> Table:
    from rich.table import Table
    from rich.text import Text

    stats = content["stats"]
    grid = Table.grid(padding=(0, 2))
    grid.add_column(style="bold")
    grid.add_column()
    status = Text(content["status"], style="green" if content["status"] == "streaming" else "red")
    grid.add_row("Port", Text.assemble(content["port"], "  ", status, f"  reconnects {content['reconnects']}"))
    if content["error"] and content["status"] == "streaming":
        grid.add_row("Error", Text(f"last loss: {content['error']}, {content['error_age']:.0f} s ago", style="dim"))
    elif content["error"]:
        grid.add_row("Error", Text(content["error"], style="red"))
    grid.add_row("Rate", "  ".join(f"{name} {rate:.1f}/s" for name, rate in content["rates"].items()) or "-")
    attitude = Table.grid(padding=(0, 2))
    for column in ("", "roll", "pitch", "yaw", ""):
        attitude.add_column(justify="right" if column else "left")
    attitude.add_row("", *(Text(f"{axis:>8}", style="dim") for axis in ("roll", "pitch", "yaw")), "")
    for name, angles in content["attitude"].items():
        attitude.add_row(name, *(_number(angles[axis]) for axis in ("roll", "pitch", "yaw")), angles.get("valid", ""))
    grid.add_row("Attitude (deg)", attitude if content["attitude"] else "-")
    state = content["filter"]
    grid.add_row(
        "Filter",
        "-"
        if state is None
        else f"state {state['filter_state']}  dynamics {state['dynamics_mode']}  flags 0x{state['status_flags']:04x}",
    )
    grid.add_row("Packets", "  ".join(f"{name} {n}" for name, n in stats["packets"].items()) or "-")
    grid.add_row(
        "Damage",
        f"{counted(stats['damaged_runs'], 'run')}  "
        f"{counted(stats['skipped_bytes'], 'byte')} skipped  "
        f"{counted(stats['checksum_failures'], 'checksum failure')}  "
        f"{counted(stats['timeouts'], 'time-out')}",
    )
    grid.add_row("Dropouts", "  ".join(f"{name} {n}" for name, n in stats["dropouts"].items()) or "-")
    grid.add_row(
        "Queue",
        f"{stats['queued']} queued  {stats['max_queued']} at most  "
        f"{stats['dropped']} dropped  {counted(stats['bytes'], 'byte')} read",
    )
    return grid


def watch(sensor: Sensor, screen: Display) -> int:
    """Shows the sensor every screen.interval seconds until it fails for good."""
    view = View(sensor)
    due = time.monotonic()
    while True:
        sample = sensor.read(max(0.0, due - time.monotonic()))
        if sample is not None:
            view.add(sample)
        now = time.monotonic()
        if now >= due:
            screen.show(view.content(now))
            due = max(due + screen.interval, now)
        if sample is None and sensor.status == "failed":
            screen.show(view.content(now))
            return 1


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Watch a sensor live: rates, attitude, filter state and counters, "
        "redrawn on a terminal or one JSON line a second on a pipe."
    )
    add_version(parser)
    parser.add_argument("port", metavar="PORT", help="serial device path, e.g. /dev/ttyACM0")
    parser.add_argument("--baud", type=int, default=115200, help="baud rate; default 115200")
    add_units_option(parser, "the attitude is converted from the units it gives")
    opts = parser.parse_args(argv)
    if opts.baud <= 0:
        parser.error("--baud must be greater than zero")
    return opts


def _screen_kind(out: IO[str]) -> type[JsonLines] | type[Screen] | None:
    """Screen on a terminal, JsonLines elsewhere; None without rich on a terminal."""
    if not out.isatty():
        return JsonLines
    try:
        import rich.live  # noqa: F401
    except ImportError:
        print(_INSTALL_RICH, file=sys.stderr)
        return None
    return Screen


@command("ahrs-monitor")
def main(argv: list[str] | None = None) -> int:
    """Ctrl-C is the way out, so it ends the command with success."""
    try:
        return _monitor(parse_args(argv))
    except KeyboardInterrupt:
        return 0


def _monitor(opts: argparse.Namespace) -> int:

    if opts.units is not None and not declare_units("ahrs-monitor", opts.units):
        return 1
    kind = _screen_kind(sys.stdout)
    if kind is None:
        return 1
    sensor = open_sensor("ahrs-monitor", opts.port, baud=opts.baud)
    if sensor is None:
        return 1
    with sensor:
        screen = kind(sys.stdout)
        try:
            return watch(sensor, screen)
        finally:
            screen.close()


if __name__ == "__main__":
    sys.exit(main())
