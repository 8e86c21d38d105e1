"""ahrs-plot: a recording's attitude, angular rate and acceleration in one PNG.

Roll and pitch, then yaw, in degrees: the sensor's own (CFEulerAngles, solid)
and the filter's (OrientationEuler, dashed in a darker shade, only where it
says Valid); then the sensor's angular rate and acceleration, all against the
recording's GPS time, or a window of it.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable
from types import ModuleType
from typing import TYPE_CHECKING, Any

from . import timeline
from .cli import add_version, command, load_recording, refuse_output_over_input, shown_name
from .columnar import record_units
from .units import add_units_option, declare_units, to_si

VECTOR = ("x", "y", "z")
# By item, the sensor's colour and the filter's darker one.
COLOURS = {
    "roll": ("tab:red", "darkred"),
    "pitch": ("tab:green", "darkgreen"),
    "yaw": ("tab:blue", "navy"),
    "x": ("tab:red", "darkred"),
    "y": ("tab:green", "darkgreen"),
    "z": ("tab:blue", "navy"),
}
MAX_POINTS = 20_000  # per line: far more than the picture has pixels across
# The filter's lines are dashed and darker, drawn over the sensor's, so both
# show where the two agree.
STYLES: dict[str, dict[str, Any]] = {
    "sensor": {"linestyle": "-", "linewidth": 1.2, "alpha": 0.8, "zorder": 2},
    "filter": {"linestyle": (0, (4, 3)), "linewidth": 1.2, "zorder": 3},
}
ATTITUDE = (("CFEulerAngles", "sensor", None), ("OrientationEuler", "filter", "valid"))
# (title, unit, sources, items, scale: from the SI unit of the declared one);
# a source is (record, whose, the
# validity item that must hold for a row to be drawn, or None). Yaw has a
# panel of its own: its ±180° range would flatten roll and pitch.
PANELS = (
    ("roll, pitch", "deg", ATTITUDE, ("roll", "pitch"), math.degrees(1)),
    ("yaw", "deg", ATTITUDE, ("yaw",), math.degrees(1)),
    ("angular rate", "rad/s", (("ScaledGyroVector", "sensor", None),), VECTOR, 1.0),
    ("acceleration", "m/s²", (("ScaledAccVector", "sensor", None),), VECTOR, 1.0),
)
if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from numpy.typing import NDArray

    from .recording import Recording

    # A table's rows in the window: (their x, which rows they are).
    Window = Callable[[NDArray[Any]], tuple[NDArray[Any], NDArray[Any]]]
    Panel = tuple[str, str, tuple[tuple[str, str, str | None], ...], tuple[str, ...], float]

PLOTTED = tuple(dict.fromkeys(name for panel in PANELS for name, _who, _valid in panel[2]))


def envelope(np: ModuleType, x: NDArray[Any], y: NDArray[Any]) -> tuple[NDArray[Any], NDArray[Any]]:
    """At most about MAX_POINTS points of the line, keeping the lowest and the
    highest value of each stretch, so a one-sample spike still shows."""
    k = len(y) * 2 // MAX_POINTS
    if k < 2:
        return x, y
    whole = len(y) // k * k
    blocks = y[:whole].reshape(-1, k)
    starts = np.arange(0, whole, k)
    keep = np.concatenate((starts + blocks.argmin(axis=1), starts + blocks.argmax(axis=1), np.arange(whole, len(y))))
    keep.sort()
    return x[keep], y[keep]


def broken_at_wraps(
    np: ModuleType, x: NDArray[Any], y: NDArray[Any], limit: float
) -> tuple[NDArray[Any], NDArray[Any]]:
    """The line with a gap where the value jumps by more than `limit` (an
    angle wrapping from +180 to -180 degrees), not a stroke across the plot."""
    jumps = np.flatnonzero(np.abs(np.diff(y)) > limit) + 1
    return np.insert(x, jumps, np.nan), np.insert(y, jumps, np.nan)


def draw_panel(np: ModuleType, ax: Axes, rec: Recording, when: Window, panel: Panel) -> bool:
    """Draws one panel; whether it had anything to draw."""
    title, unit, sources, items, scale = panel
    drawn = False
    for name, who, valid in sources:
        table = rec.records.get(name)
        if table is None:
            continue
        if valid is not None:
            table = table[table[valid]]
        x, rows = when(table)
        if not len(x):
            continue
        for item in items:
            y = to_si(table[item][rows].astype("f8"), record_units()[name][item])[0] * scale
            line = broken_at_wraps(np, *envelope(np, x, y), 180.0 if unit == "deg" else np.inf)
            ax.plot(*line, color=COLOURS[item][who == "filter"], label=f"{who} {item}", **STYLES[who])
        drawn = True
    ax.set_ylabel(f"{title} ({unit})")
    ax.grid(True, alpha=0.3)
    if drawn:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
    else:
        ax.text(0.5, 0.5, "not in this recording", ha="center", va="center", transform=ax.transAxes, color="grey")
    return drawn


def figure(
    np: ModuleType, rec: Recording, title: str, start: float | None = None, end: float | None = None
) -> Figure | None:
    """The picture, or None when there is nothing to draw (in the window
    from `start` to `end`, seconds from the start of the recording)."""
    from matplotlib.figure import Figure

    times = timeline.packet_times(np, rec)
    known = times[~np.isnan(times)]
    if len(known):
        origin = known.min()
        label = "time (s)"

        def x_of(table: NDArray[Any]) -> NDArray[Any]:
            return times[table["packet"].astype(np.intp)] - origin
    else:
        label = "packet"

        def x_of(table: NDArray[Any]) -> NDArray[Any]:
            return table["packet"].astype("f8")

    def when(table: NDArray[Any]) -> tuple[NDArray[Any], NDArray[Any]]:
        """The x of the table's rows in the window, and which rows those are."""
        x = x_of(table)
        rows = np.ones(len(x), bool)
        if start is not None:
            rows &= x >= start
        if end is not None:
            rows &= x <= end
        return x[rows], rows

    fig = Figure(figsize=(10, 10), layout="constrained")
    axes = fig.subplots(len(PANELS), 1, sharex=True)
    drawn = [draw_panel(np, ax, rec, when, panel) for ax, panel in zip(axes, PANELS)]
    if not any(drawn):
        return None
    axes[-1].set_xlabel(label)
    fig.suptitle(title)
    return fig


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="ahrs-plot",
        description="Plot a recording's attitude (sensor and filter), "
        "angular rate and acceleration against time into one PNG.",
    )
    add_version(parser)
    parser.add_argument("file", help="recorded stream, as written by ahrs-record or ahrs-sim")
    parser.add_argument("-o", "--output", metavar="OUT.png", help="picture to write; default FILE with the suffix .png")
    parser.add_argument(
        "--start",
        type=float,
        metavar="S",
        help="first second to draw, from the start of the recording (a packet number in a recording without time)",
    )
    parser.add_argument("--end", type=float, metavar="S", help="last second to draw, likewise")
    add_units_option(parser, "values are drawn in SI")
    opts = parser.parse_args(argv)
    if opts.start is not None and opts.end is not None and opts.start > opts.end:
        parser.error("--start is after --end")
    if opts.output is None:
        opts.output = os.path.splitext(opts.file)[0] + ".png"
    refuse_output_over_input(parser, opts.file, [opts.output])
    return opts


@command("ahrs-plot")
def main(argv: list[str] | None = None) -> int:

    opts = parse_args(argv)
    if opts.units is not None and not declare_units("ahrs-plot", opts.units):
        return 1
    loaded = load_recording("ahrs-plot", opts.file, ("matplotlib", "numpy"), "plot")
    if loaded is None:
        return 1
    np, rec = loaded
    fig = figure(np, rec, shown_name(os.path.basename(opts.file)), opts.start, opts.end)
    if fig is None:
        why = (
            "between --start and --end"
            if any(name in rec.records for name in PLOTTED)
            else f"(none of {', '.join(PLOTTED)})"
        )
        print(f"ahrs-plot: {opts.file}: nothing to plot {why}", file=sys.stderr)
        return 1
    try:
        fig.savefig(opts.output, dpi=80)
    except OSError as err:
        print(f"ahrs-plot: cannot write {opts.output}: {err.strerror or err}", file=sys.stderr)
        return 1
    print(f"ahrs-plot: {opts.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
