"""ahrs-plot: a recording's attitude, angular rate and acceleration in one PNG.

Attitude in degrees, the sensor's own (CFEulerAngles, solid) over the
filter's (OrientationEuler, dashed, only where it says Valid); then the
sensor's angular rate and acceleration, all against the recording's GPS
time.
"""

import argparse
import math
import os
import sys

from . import timeline
from .cli import add_version, command, load_recording, refuse_output_over_input

AXES = (("roll", "pitch", "yaw"), ("x", "y", "z"))
COLOURS = ("tab:red", "tab:green", "tab:blue")
MAX_POINTS = 20_000  # per line: far more than the picture has pixels across
# The filter's lines are drawn wide and pale, so the sensor's show through
# where the two agree.
STYLES = {"-": {"linewidth": 1}, "--": {"linewidth": 2.2, "alpha": 0.5}}
# (title, unit, sources, items, scale); a source is (record, whose, line style,
# the validity item that must hold for a row to be drawn, or None)
PANELS = (
    ("attitude", "deg", (("CFEulerAngles", "sensor", "-", None),
                         ("OrientationEuler", "filter", "--", "valid")), AXES[0], math.degrees(1)),
    ("angular rate", "rad/s", (("ScaledGyroVector", "sensor", "-", None),), AXES[1], 1.0),
    ("acceleration", "m/s²", (("ScaledAccVector", "sensor", "-", None),), AXES[1], 1.0),
)


def envelope(np, x, y):
    """At most about MAX_POINTS points of the line, keeping the lowest and the
    highest value of each stretch, so a one-sample spike still shows."""
    k = len(y) * 2 // MAX_POINTS
    if k < 2:
        return x, y
    whole = len(y) // k * k
    blocks = y[:whole].reshape(-1, k)
    starts = np.arange(0, whole, k)
    keep = np.concatenate((starts + blocks.argmin(axis=1), starts + blocks.argmax(axis=1),
                           np.arange(whole, len(y))))
    keep.sort()
    return x[keep], y[keep]


def broken_at_wraps(np, x, y, limit):
    """The line with a gap where the value jumps by more than `limit` (an
    angle wrapping from +180 to -180 degrees), not a stroke across the plot."""
    jumps = np.flatnonzero(np.abs(np.diff(y)) > limit) + 1
    return np.insert(x, jumps, np.nan), np.insert(y, jumps, np.nan)


def draw_panel(np, ax, rec, when, panel):
    title, unit, sources, items, scale = panel
    drawn = False
    for name, who, style, valid in sources:
        table = rec.records.get(name)
        if table is None:
            continue
        if valid is not None:
            table = table[table[valid]]
        x = when(table)
        for item, colour in zip(items, COLOURS):
            y = table[item].astype("f8") * scale
            line = broken_at_wraps(np, *envelope(np, x, y), 180.0 if unit == "deg" else np.inf)
            ax.plot(*line, style, color=colour, label=f"{who} {item}", **STYLES[style])
        drawn = True
    ax.set_ylabel(f"{title} ({unit})")
    ax.grid(True, alpha=0.3)
    if drawn:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
    else:
        ax.text(0.5, 0.5, "not in this recording", ha="center", va="center",
                transform=ax.transAxes, color="grey")


def figure(np, rec, title):
    from matplotlib.figure import Figure

    times = timeline.packet_times(np, rec)
    known = times[~np.isnan(times)]
    if len(known):
        origin = known.min()
        label = "time (s)"

        def when(table):
            return times[table["packet"].astype(np.intp)] - origin
    else:
        label = "packet"

        def when(table):
            return table["packet"].astype("f8")

    fig = Figure(figsize=(10, 8), layout="constrained")
    axes = fig.subplots(len(PANELS), 1, sharex=True)
    for ax, panel in zip(axes, PANELS):
        draw_panel(np, ax, rec, when, panel)
    axes[-1].set_xlabel(label)
    fig.suptitle(title)
    return fig


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="ahrs-plot", description="Plot a recording's attitude (sensor and filter), "
        "angular rate and acceleration against time into one PNG.")
    add_version(parser)
    parser.add_argument("file", help="recorded stream, as written by ahrs-record or ahrs-sim")
    parser.add_argument("-o", "--output", metavar="OUT.png",
                        help="picture to write; default FILE with the suffix .png")
    opts = parser.parse_args(argv)
    if opts.output is None:
        opts.output = os.path.splitext(opts.file)[0] + ".png"
    refuse_output_over_input(parser, opts.file, [opts.output])
    return opts


@command("ahrs-plot")
def main(argv=None):
    opts = parse_args(argv)
    loaded = load_recording("ahrs-plot", opts.file, ("matplotlib", "numpy"), "plot")
    if loaded is None:
        return 1
    np, rec = loaded
    fig = figure(np, rec, os.path.basename(opts.file))
    try:
        fig.savefig(opts.output, dpi=80)
    except OSError as err:
        print(f"ahrs-plot: cannot write {opts.output}: {err.strerror or err}", file=sys.stderr)
        return 1
    print(f"ahrs-plot: {opts.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
