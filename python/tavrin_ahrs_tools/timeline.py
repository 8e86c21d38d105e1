"""The recording's clock: when each packet was sent, from its GPS time items.

Sensor packets carry it in GPSCorrelationTimestamp, filter packets in
GPSTimestamp; the week counts too, so a roll-over at the end of a GPS week
does not turn into a jump back of a whole week.  Shared by ahrs-info and
ahrs-plot.
"""

from __future__ import annotations

from collections.abc import Mapping
from types import ModuleType
from typing import TYPE_CHECKING, Any

from . import _native

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .recording import Recording

_WIRE = _native.wire_format()
# A packet's time is week * SECONDS_PER_WEEK + time of week, as the decoder reckons it.
SECONDS_PER_WEEK = _WIRE["seconds_per_week"]
# A gap between two stamps longer than this many median periods is a dropout.
DROPOUT_FACTOR = 1.5
# record name -> (time-of-week item, week item)
CLOCKS = _WIRE["time_items"]


def clock_times(table: NDArray[Any] | Mapping[str, NDArray[Any]], name: str) -> NDArray[Any]:
    """Seconds of GPS time of every row of a time record."""
    tow, week = CLOCKS[name]
    return table[week].astype("f8") * SECONDS_PER_WEEK + table[tow]


def packet_times(np: ModuleType, recording: Recording) -> NDArray[Any]:
    """The GPS time of every well-formed packet, NaN where none is known.

    A packet without a time of its own takes the time of the last one
    before it that had one.
    """
    times = np.full(recording.packets, np.nan)
    for name in CLOCKS:
        table = recording.records.get(name)
        if table is not None:
            times[table["packet"].astype(np.intp)] = clock_times(table, name)
    known = np.where(np.isnan(times), 0, np.arange(len(times)))
    np.maximum.accumulate(known, out=known)
    return times[known]  # packets before the first time stay NaN through packet 0


def clock_gaps(np: ModuleType, times: NDArray[Any]) -> tuple[float | None, NDArray[Any], NDArray[Any]]:
    """(median period, steps between stamps, which steps are dropouts) of one
    clock's stamps; the period is None when time never moves forward."""
    steps = np.diff(times)
    forward = steps[steps > 0]
    if not len(forward):
        return None, steps, np.zeros(len(steps), bool)
    period = float(np.median(forward))
    return period, steps, steps > DROPOUT_FACTOR * period
