"""When each packet happened, as Unix nanoseconds, for formats that stamp messages.

The best time a recording offers: `host_time` (the device's clock mapped
onto the host's wall clock) when the recording has its times sidecar, else
the packet's GPS time converted to UTC. A time that is not finite, or lies
outside 1970..2038 (what a ROS stamp's 32-bit seconds and an MCAP log time
both hold), is never written: the packet takes its neighbour's (the last
usable one before it, else the first after it), and the packets so stamped
are counted for the caller to report.
"""

from __future__ import annotations

from types import ModuleType
from typing import TYPE_CHECKING, Any, overload

from . import timeline

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .recording import Recording

# 2**31 s: the last second a ROS 2 stamp (int32 seconds) can hold.
LAST_SECOND = 2.0**31


@overload
def gps_to_unix(np: ModuleType | None, seconds: float) -> float: ...
@overload
def gps_to_unix(np: ModuleType | None, seconds: NDArray[Any]) -> NDArray[Any]: ...
def gps_to_unix(np: ModuleType | None, seconds: float | NDArray[Any]) -> float | NDArray[Any]:
    from .gpstime import gps_to_unix as convert

    return convert(seconds)


def host_times(np: ModuleType, rec: Recording) -> NDArray[Any] | None:
    """host_time of every packet (NaN where none), or None when the recording has none."""
    times = None
    for name in rec.records:
        columns = rec.columns(name)
        if "host_time" in columns:
            if times is None:
                times = np.full(rec.packets, np.nan)
            times[columns["packet"].astype(np.intp)] = columns["host_time"]
    return times


def packet_seconds(np: ModuleType, rec: Recording) -> NDArray[Any]:
    """Unix seconds of every packet, NaN where unknown."""
    host = host_times(np, rec)
    if host is not None:
        return host
    return gps_to_unix(np, timeline.packet_times(np, rec))


def fill_from_neighbours(np: ModuleType, seconds: NDArray[Any]) -> tuple[NDArray[Any] | None, int]:
    """(seconds with every unusable value replaced by its neighbour's, how
    many were replaced); None in place of the array when no value is usable."""
    usable = np.isfinite(seconds) & (seconds >= 0) & (seconds < LAST_SECOND)
    bad = int(len(seconds) - np.count_nonzero(usable))
    if not usable.any():
        return None, bad
    at = np.where(usable, np.arange(len(seconds)), 0)
    np.maximum.accumulate(at, out=at)
    at[: np.argmax(usable)] = np.argmax(usable)  # before the first usable time: the first one
    return seconds[at], bad


def packet_stamps(np: ModuleType, rec: Recording) -> tuple[NDArray[Any], int]:
    """(Unix nanoseconds of every packet as uint64, packets that took a
    neighbour's time). A recording without any usable time counts its
    packets in milliseconds from 0, and reports none as replaced."""
    seconds, bad = fill_from_neighbours(np, packet_seconds(np, rec))
    if seconds is None:
        return np.arange(rec.packets, dtype=np.uint64) * np.uint64(1_000_000), 0
    return np.rint(seconds * 1e9).astype(np.uint64), bad
