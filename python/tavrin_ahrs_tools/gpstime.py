"""GPS time to UTC, by the real table of leap seconds.

GPS time began at 1980-01-06 00:00:00 UTC and never inserts a leap second,
so it runs ahead of UTC by the leap seconds inserted since: 18 s from
2017-01-01. A fixed 18 s puts every time recorded before 2017 off by one
second or more; this table, kept here and nowhere else, puts it right.

No leap second has been announced after 2017-01-01 (IERS Bulletin C, up to
the one of 2025). When one is, its date goes at the end of LEAP_SECONDS.
"""

from __future__ import annotations

import calendar
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from numpy.typing import NDArray

# Unix seconds of the GPS epoch, 1980-01-06 00:00:00 UTC.
GPS_EPOCH_UNIX = 315964800

# (UTC date from whose first second on the count holds, GPS minus UTC in s).
LEAP_SECONDS = (
    ("1981-07-01", 1),
    ("1982-07-01", 2),
    ("1983-07-01", 3),
    ("1985-07-01", 4),
    ("1988-01-01", 5),
    ("1990-01-01", 6),
    ("1991-01-01", 7),
    ("1992-07-01", 8),
    ("1993-07-01", 9),
    ("1994-07-01", 10),
    ("1996-01-01", 11),
    ("1997-07-01", 12),
    ("1999-01-01", 13),
    ("2006-01-01", 14),
    ("2009-01-01", 15),
    ("2012-07-01", 16),
    ("2015-07-01", 17),
    ("2017-01-01", 18),
)


def _unix_midnight(date: str) -> int:
    year, month, day = map(int, date.split("-"))
    return calendar.timegm((year, month, day, 0, 0, 0))


# GPS seconds at which each count takes effect, and the count from then on.
_STEPS_GPS = [_unix_midnight(date) - GPS_EPOCH_UNIX + count for date, count in LEAP_SECONDS]
_COUNTS = [0] + [count for _, count in LEAP_SECONDS]


def leap_seconds(gps_seconds: float | NDArray[Any]) -> int | NDArray[Any]:
    """GPS minus UTC, in whole seconds, at this GPS time (float or numpy array)."""
    import numpy as np

    at = np.searchsorted(_STEPS_GPS, gps_seconds, side="right")
    counts = np.asarray(_COUNTS)[at]
    return counts if np.ndim(counts) else int(counts)


def gps_to_unix(gps_seconds: float | NDArray[Any]) -> float | NDArray[Any]:
    """Unix seconds (UTC) of GPS seconds since the GPS epoch (week * 604800
    + time of week, the `time` column of a recording); a float or a numpy
    array, NaN staying NaN.

    Unix time has no 23:59:60: during an inserted leap second it holds at
    the first instant of the next day, so it never runs backwards.
    """
    import numpy as np

    gps = np.asarray(gps_seconds, dtype=np.float64)
    at = np.searchsorted(_STEPS_GPS, gps, side="right")
    counts = np.asarray(_COUNTS, dtype=np.float64)
    # The next day's first instant, for a time inside the leap second before it.
    ceilings = np.append(np.asarray(_STEPS_GPS, dtype=np.float64) - counts[1:], np.inf) + GPS_EPOCH_UNIX
    unix = np.minimum(gps + GPS_EPOCH_UNIX - counts[at], ceilings[at])
    unix = np.where(np.isnan(gps), np.nan, unix)
    return unix if unix.ndim else float(unix)
