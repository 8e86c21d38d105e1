"""ahrs-info: what a recording holds, at a glance.

Packets per descriptor set and per record, the damaged runs, the time span
and packet rate from the GPS time items, the host clock's fit when the
recording has its host-time sidecar, the dropouts of each clock, and the
changes of the filter's state with their times, and the attitude conventions
the data settle.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Mapping
from types import ModuleType
from typing import TYPE_CHECKING, Any

from . import timeline
from .cli import add_version, command, load_recording

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .conventions import Conventions
    from .recording import Recording

SHOWN_OFFSETS = 5
SHOWN_CHANGES = 20
DROPOUT_FACTOR = timeline.DROPOUT_FACTOR


def _count(n: int) -> str:
    return f"{n:,}"


def _many(n: int, noun: str) -> str:
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


def _offsets(offsets: NDArray[Any]) -> str:
    shown = ", ".join(f"{o} (0x{o:x})" for o in offsets[:SHOWN_OFFSETS].tolist())
    more = len(offsets) - SHOWN_OFFSETS
    return shown + (f", and {more:,} more" if more > 0 else "")


def damage_lines(rec: Recording) -> list[str]:
    if not len(rec.damaged) and not rec.truncated:
        return ["Damage: none"]
    lines = [f"Damage: {_many(len(rec.damaged), 'damaged run')}, {_many(rec.skipped_bytes, 'byte')} skipped"]
    if len(rec.damaged):
        lines.append(f"  at byte {_offsets(rec.damaged)}")
    if rec.truncated:
        lines.append("  the file ends inside a packet")
    return lines


def span_lines(np: ModuleType, rec: Recording, times: NDArray[Any]) -> list[str]:
    known = times[~np.isnan(times)]
    if not len(known):
        return ["Time: no GPS time items"]
    first, last = known.min(), known.max()
    span = last - first
    # The packets of the first instant open the span; those after it fill it.
    rate = f", {(known > first).sum() / span:,.1f} packets/s" if span > 0 else ""
    week, tow = divmod(first, timeline.SECONDS_PER_WEEK)
    return [f"Time: {span:.3f} s from GPS week {int(week)}, time of week {tow:.3f} s{rate}"]


def clock_lines(np: ModuleType, name: str, table: NDArray[Any], origin: float) -> list[str]:
    """One clock's rate, median period and dropouts."""
    times = timeline.clock_times(table, name)
    period, steps, gaps = timeline.clock_gaps(np, times)
    head = f"  {name}: {_many(len(times), 'stamp')}"
    if period is None:
        return [head]
    head += f", every {period * 1e3:.3f} ms ({1 / period:,.1f} /s)"
    back = int((steps < 0).sum())
    if back:
        head += f", {_many(back, 'step')} back in time"
    if not gaps.any():
        return [head, "    no dropouts"]
    missing = int(np.rint(steps[gaps] / period).sum()) - int(gaps.sum())
    longest = int(np.argmax(np.where(gaps, steps, -np.inf)))
    return [
        head,
        f"    {_many(int(gaps.sum()), 'dropout')}, {steps[gaps].sum():.3f} s in all "
        f"(about {_many(missing, 'stamp')} missing), longest {steps[longest]:.3f} s "
        f"after +{times[longest] - origin:.3f} s",
    ]


def dropout_lines(np: ModuleType, rec: Recording, origin: float) -> list[str]:
    clocks = [(name, rec.records[name]) for name in timeline.CLOCKS if name in rec.records]
    if not clocks:
        return []
    title = f"Dropouts (gaps longer than {DROPOUT_FACTOR} median periods):"
    return [title] + [line for name, table in clocks for line in clock_lines(np, name, table, origin)]


def host_clock_lines(rec: Recording) -> list[str]:
    """How the device clock was fitted onto the host's, from the sidecar."""
    if rec.host_clock is None:
        return ["Host time: none (no .times sidecar)"]
    if not rec.host_clock:
        return ["Host time: no packet with a device time and an arrival"]
    lines = ["Host time: the device clock fitted onto the host's (arrival after the fitted instant):"]
    for name, fit in rec.host_clock.items():
        lines.append(
            f"  {name}: drift {fit['drift_ppm']:+.2f} ppm, median {fit['residual_p50_s'] * 1e3:.3f} ms, "
            f"p99 {fit['residual_p99_s'] * 1e3:.3f} ms, {_many(fit['segments'], 'segment')}"
        )
    return lines


def count_lines(title: str, counts: Mapping[str, int], width: int) -> list[str]:
    if not counts:
        return [f"{title}: none"]
    return [f"{title}:"] + [f"  {name:<{width}}  {n:>12,}" for name, n in counts.items()]


def filter_state_lines(np: ModuleType, rec: Recording, times: NDArray[Any], origin: float) -> list[str]:
    table = rec.records.get("FilterStatus")
    if table is None:
        return []
    states = table["filter_state"]
    changed = np.flatnonzero(np.diff(states)) + 1
    rows = np.concatenate(([0], changed))
    when = times[table["packet"][rows].astype(np.intp)] - origin
    lines = [f"Filter state: {_many(len(changed), 'change')}"]
    for row, t in list(zip(rows, when))[: SHOWN_CHANGES + 1]:
        at = "     (no time)" if np.isnan(t) else f"{t:+12.3f} s"
        before = f"{states[row - 1]} -> " if row else ""
        lines.append(f"  {at}  {before}{states[row]}")
    if len(rows) > SHOWN_CHANGES + 1:
        lines.append(f"  ... and {_count(len(rows) - SHOWN_CHANGES - 1)} more")
    return lines


def conventions_line(rec: Recording, declared: Conventions | None) -> str:
    """The attitude conventions the data settle, or why they do not."""
    from .conventions import ConventionsError, conventions

    try:
        found = conventions(rec)
    except ConventionsError as err:
        if declared is not None:
            return f"Conventions: {declared.describe()} (stated; the data do not settle them: {err})"
        return f"Conventions: not settled: {err}"
    if declared is not None and declared.merged(found) != declared:
        return f"Conventions: {declared.describe()} stated, but the data say {found.describe()}"
    return f"Conventions: {found.describe()}"


def report(np: ModuleType, rec: Recording, path: str, size: int, declared: Conventions | None = None) -> list[str]:
    times = timeline.packet_times(np, rec)
    known = times[~np.isnan(times)]
    origin = known.min() if len(known) else 0.0
    counts = {name: len(table) for name, table in rec.records.items()}
    width = max(map(len, [*counts, *rec.sets]), default=0)
    return [
        f"File: {path} ({_count(size)} bytes)",
        f"Packets: {_count(rec.packets)} well-formed",
        *damage_lines(rec),
        *span_lines(np, rec, times),
        *host_clock_lines(rec),
        *dropout_lines(np, rec, origin),
        *count_lines("Descriptor sets", rec.sets, width),
        *count_lines("Records", counts, width),
        *filter_state_lines(np, rec, times, origin),
        conventions_line(rec, declared),
    ]


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="ahrs-info",
        description="Summarise a recorded stream: packets, damage, time span, dropouts and the filter's state changes.",
    )
    add_version(parser)
    parser.add_argument("file", help="recorded stream, as written by ahrs-record or ahrs-sim")
    parser.add_argument(
        "--conventions",
        type=_conventions,
        metavar="C,...",
        help="the attitude conventions, where the data cannot settle them (e.g. xyzw,world_to_body,ZYX,ned)",
    )
    return parser.parse_args(argv)


def _conventions(text: str) -> Conventions:
    from .conventions import ConventionsError, parse_conventions

    try:
        return parse_conventions(text)
    except ConventionsError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


@command("ahrs-info")
def main(argv: list[str] | None = None) -> int:

    opts = parse_args(argv)
    loaded = load_recording("ahrs-info", opts.file)
    if loaded is None:
        return 1
    np, rec = loaded
    print("\n".join(report(np, rec, opts.file, os.path.getsize(opts.file), opts.conventions)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
