"""A recording decoded into one numpy structured array per record."""

from __future__ import annotations

import collections.abc
import importlib
import os
import warnings
from collections.abc import Iterator, Mapping
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

from . import _native
from .progress import Progress
from .units import units  # noqa: F401 (the package's units() has always been importable from here)

if TYPE_CHECKING:
    import numpy
    import pandas
    import polars
    import pyarrow
    from numpy.typing import NDArray

    from .conventions import Conventions

    # A record's rows, or its columns by field.
    Table = NDArray[Any]
    Columns = dict[str, NDArray[Any]]

_INSTALL_NUMPY = "load() needs numpy: pip install 'tavrin_ahrs_driver[tools]'"


def _numpy() -> ModuleType:
    try:
        import numpy
    except ImportError:
        raise ImportError(_INSTALL_NUMPY) from None
    return numpy


def needs(library: str, what: str, extra: str) -> ModuleType:
    """The module `library`, or ImportError with a one-line hint naming the extra to install."""
    try:
        return importlib.import_module(library)
    except ImportError:
        raise ImportError(f"{what} needs {library}: pip install 'tavrin_ahrs_driver[{extra}]'") from None


def record_dtypes() -> dict[str, numpy.dtype[Any]]:
    """The array layout of every record, from the native catalogue.

    Each row starts with `packet` (uint64: index of the well-formed packet in
    the file, from 0), `offset` (uint64: byte offset of that packet) and
    `time` (float64: the packet's GPS time in seconds, GPS week * 604800 +
    time of week, from the packet's GPSCorrelationTimestamp or GPSTimestamp
    record; NaN when the packet has none), then the record's items in order
    at their wire width; validity flags are bool (True for Valid).
    """
    np = _numpy()
    header = list(_native.wire_format()["row_header"])
    return {
        name: np.dtype(header + [(item, code) for item, code, _unit in items])
        for name, _set, items, *_ in _native.catalogue()
    }


def _column_views(np: ModuleType, dtype: numpy.dtype[Any], block: _native.ColumnBlock) -> Columns:
    """The 1-D arrays of a block laid out column by column, viewed in place."""
    data, rows, starts = block
    fields = cast("Mapping[str, tuple[numpy.dtype[Any], int]]", dtype.fields)
    return {
        name: np.frombuffer(data, dtype=fields[name][0], count=rows, offset=start)
        for name, start in zip(dtype.names or (), starts)
    }


def _utc_index(pandas: ModuleType, unix_seconds: float | NDArray[Any], name: str) -> Any:
    return pandas.DatetimeIndex(pandas.to_datetime(unix_seconds, unit="s", utc=True), name=name)


class _RowsFromColumns(collections.abc.Mapping[str, "Table"]):
    """Record name -> structured array, each made from the record's columns on
    first use (a copy) and kept, so that changes to it stay."""

    def __init__(self, np: ModuleType, columns: dict[str, Columns], dtypes: dict[str, numpy.dtype[Any]]) -> None:
        self._np, self._columns, self._dtypes = np, columns, dtypes
        self._made: dict[str, Table] = {}

    def __getitem__(self, name: str) -> Table:
        table = self._made.get(name)
        if table is None:
            columns = self._columns[name]
            table = self._np.empty(len(next(iter(columns.values()))), dtype=self._dtypes[name])
            for field, values in columns.items():
                table[field] = values
            self._made[name] = table
        return table

    def __contains__(self, name: object) -> bool:  # without making the array, as Mapping's own would
        return name in self._columns

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)


class Recording:
    """What `load()` found in a recorded stream.

    records        record name -> numpy structured array, one row per
                   occurrence (only records present in the file); a dict,
                   or with layout="columns" a mapping that makes each array
                   from the columns when first asked for it
    sets           dict: descriptor-set name -> count of well-formed packets
    packets        count of well-formed packets
    skipped_bytes  bytes that belong to no well-formed packet
    damaged        byte offset of each run of such bytes (numpy uint64 array)
    truncated      True when the file ends inside a packet
    host_clock     None without a host-time sidecar; else, by descriptor-set
                   name, how its device clock was fitted onto the host's:
                   {"packets", "segments", "span_s", "drift_ppm" (the device
                   clock's rate against the host's, + when it runs fast),
                   "residual_p50_s", "residual_p99_s" (how long after the
                   fitted instant the packets arrived)}

    With a sidecar (PATH.times, written by Sensor(record=PATH) and
    ahrs-record) every table ends with two more columns: `arrival_ns`
    (int64, wall clock ns of the read that completed the packet; the least
    int64, which pandas reads as NaT, where the sidecar stops short) and
    `host_time` (float64 Unix seconds: the device time mapped onto the
    host's wall clock; NaN without a device time or an arrival).
    """

    def __init__(
        self,
        path: str | bytes,
        records: Mapping[str, Table],
        sets: dict[str, int],
        packets: int,
        skipped_bytes: int,
        damaged: NDArray[numpy.uint64],
        truncated: bool,
        columns: dict[str, Columns] | None = None,
        host_clock: dict[str, dict[str, Any]] | None = None,
    ) -> None:
        self._columns = columns
        self._conventions: Conventions | None = None
        self.host_clock = host_clock
        self.path = path
        self.records = records
        self.sets = sets
        self.packets = packets
        self.skipped_bytes = skipped_bytes
        self.damaged = damaged
        self.truncated = truncated

    def to_pandas(self, name: str, index: str | None = None) -> pandas.DataFrame:
        """The record's table as a pandas DataFrame (needs pandas).

        index="utc" makes the index a timezone-aware (UTC) DatetimeIndex from
        the GPS `time` column, leap seconds applied (gpstime); index="host"
        one from `host_time` (ValueError without a host-time sidecar). Any
        other column name makes that column the index. NaN times become NaT.
        """
        try:
            import pandas
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install pandas") from None
        table = self.table(name)
        frame = pandas.DataFrame(table)
        if index == "utc":
            from .gpstime import gps_to_unix

            return frame.set_index(_utc_index(pandas, gps_to_unix(table["time"]), "utc"))
        if index == "host":
            if "host_time" not in (table.dtype.names or ()):
                raise ValueError(
                    f"{os.fsdecode(self.path)} has no host time: "
                    f"it needs its {TIMES_SUFFIX} sidecar, as Sensor(record=) writes it"
                )
            return frame.set_index(_utc_index(pandas, table["host_time"], "host"))
        return frame if index is None else frame.set_index(index)

    def table(self, name: str) -> NDArray[Any]:
        """The record's structured array; a KeyError naming the records the
        recording holds when it has no such record."""
        try:
            return self.records[name]
        except KeyError:
            present = ", ".join(sorted(self.records)) or "none"
            raise KeyError(f"{os.fsdecode(self.path)}: no record {name!r}; the recording holds: {present}") from None

    def columns(self, name: str) -> Columns:
        """The record's table as {field: 1-D numpy array}, each contiguous.

        With layout="columns" these are the recording's own arrays, shared;
        from the row layout each is a copy.
        """
        if self._columns is not None:
            if name not in self._columns:
                self.table(name)  # the error that names the records present
            return dict(self._columns[name])
        table = self.table(name)
        return {field: _numpy().ascontiguousarray(table[field]) for field in table.dtype.names or ()}

    def to_arrow(self, name: str) -> pyarrow.Table:
        """The record's table as a pyarrow Table (needs pyarrow), each item's
        unit in its field's metadata (b"unit").

        With layout="columns" the numeric columns are the recording's own
        memory, not copies; validity flags, which Arrow keeps as bits, are
        packed. From the row layout every column is copied once.
        """
        from .columnar import arrow_table, pyarrow

        pyarrow("to_arrow()")
        return arrow_table(name, self.columns(name))

    def to_polars(self, name: str) -> polars.DataFrame:
        """The record's table as a Polars DataFrame (needs polars and pyarrow),
        sharing memory as to_arrow() does."""
        polars = needs("polars", "to_polars()", "arrow")
        needs("pyarrow", "to_polars()", "arrow")
        return polars.from_arrow(self.to_arrow(name))

    @property
    def conventions(self) -> Conventions:
        """The attitude Conventions, found in the data on first use (raises
        ConventionsError when they cannot be); assign Conventions (from
        parse_conventions) to state them instead."""
        if self._conventions is None:
            from .conventions import conventions

            self._conventions = conventions(self)
        return self._conventions

    @conventions.setter
    def conventions(self, value: Conventions | None) -> None:
        self._conventions = value

    def rotation(self, record: str) -> Any:
        """The attitude in `record` (a quaternion, matrix or Euler record) as
        one vectorised scipy Rotation, a row per occurrence: the body frame
        relative to the world frame, under `conventions` (needs scipy)."""
        from .conventions import rotation_of

        return rotation_of(_numpy(), self.records[record], record, self.conventions)

    def euler_degrees(self, record: str | None = None) -> NDArray[Any]:
        """(n, 3) roll, pitch, yaw in degrees of `record`'s attitude (default:
        the first attitude record present), in the data's Euler order."""
        from .conventions import attitude_record, euler_degrees_of

        record = record or attitude_record(self.records)
        return euler_degrees_of(self.rotation(record), self.conventions)

    def __repr__(self) -> str:
        return (
            f"<Recording {self.path!r}: {self.packets} packets, {len(self.records)} records, "
            f"{len(self.damaged)} damaged runs, {self.skipped_bytes} bytes skipped"
            f"{', truncated' if self.truncated else ''}>"
        )


LAYOUTS = ("rows", "columns")
TIMES_SUFFIX = ".times"
# The columns a host-time sidecar adds to every table.
HOST_COLUMNS = (("arrival_ns", "i8"), ("host_time", "f8"))


def _sidecar(path: str | bytes) -> bytes | None:
    """The bytes of the recording's host-time sidecar, or None when it has none."""
    try:
        with open(path + (TIMES_SUFFIX.encode() if isinstance(path, bytes) else TIMES_SUFFIX), "rb") as f:  # type: ignore[operator]  # the suffix matches the path's type
            return f.read()
    except FileNotFoundError:
        return None
    except OSError as e:
        warnings.warn(f"{os.fsdecode(path)}{TIMES_SUFFIX}: {e.strerror or e}; loaded without host time", stacklevel=3)
        return None


def _host_clock(
    np: ModuleType, path: str | bytes, host: Any
) -> tuple[NDArray[Any], NDArray[Any], dict[str, dict[str, Any]]] | None:
    """(per-packet arrival_ns, per-packet host_time, {set: fit}) from the
    native fit, or None (with a warning) when the sidecar was damaged."""
    if isinstance(host, str):
        warnings.warn(f"{os.fsdecode(path)}{TIMES_SUFFIX}: {host}; loaded without host time", stacklevel=3)
        return None
    arrival, host_time, fits = host
    keys = ("packets", "segments", "span_s", "drift_ppm", "residual_p50_s", "residual_p99_s")
    fits = {name: dict(zip(keys, (*row[:4], row[4] * 1e-9, row[5] * 1e-9))) for name, row in fits.items()}
    return np.frombuffer(arrival, dtype=np.int64), np.frombuffer(host_time, dtype=np.float64), fits


def _with_host_columns(np: ModuleType, dtype: numpy.dtype[Any]) -> numpy.dtype[Any]:
    return np.dtype(dtype.descr + list(HOST_COLUMNS))


def _add_host_rows(np: ModuleType, table: Table, arrival: NDArray[Any], host_time: NDArray[Any]) -> Table:
    """The structured array with the two columns appended (a copy)."""
    out = np.empty(len(table), dtype=_with_host_columns(np, table.dtype))
    for field in table.dtype.names or ():
        out[field] = table[field]
    packet = table["packet"].astype(np.intp)
    out["arrival_ns"] = arrival[packet]
    out["host_time"] = host_time[packet]
    return out


def load(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], progress: bool = False, layout: str = "rows"
) -> Recording:
    """Decodes the recorded stream at `path` (str, bytes or path-like, any
    name the system takes) into a Recording.

    Damaged packets are skipped and counted, never fatal: the file is read with
    the same lossless resynchronisation as a live port. Raises OSError when
    the file cannot be read. With progress=True a progress bar is drawn on
    standard error when it is a terminal and the work lasts over a second.

    layout="columns" keeps every record as one contiguous array per field,
    which to_arrow(), to_polars() and columns() then hand out without a copy;
    `records` makes a record's structured array from them when asked.
    """
    if layout not in LAYOUTS:
        raise ValueError(f"layout must be one of {', '.join(map(repr, LAYOUTS))}, not {layout!r}")
    np = _numpy()
    path = os.fspath(path)
    dtypes = record_dtypes()
    size = os.path.getsize(path) if progress and os.path.exists(path) else 0
    scan = _native.scan if layout == "rows" else _native.scan_columns
    times = _sidecar(path)
    with Progress(size, os.fsdecode(os.path.basename(path)), enabled=progress) as bar:
        found: dict[str, Any] = cast("dict[str, Any]", scan(path, bar.update if progress else None, times))
    tables = found["records"]
    damaged = np.frombuffer(found.pop("damaged"), dtype=np.uint64)
    whole = (found["sets"], found["packets"], found["skipped_bytes"], damaged, found["truncated"])
    host = _host_clock(np, path, found["host"]) if "host" in found else None
    fits = host[2] if host else None
    if layout == "columns":
        columns = {name: _column_views(np, dtypes[name], tables.pop(name)) for name in list(tables)}
        if host:
            for table in columns.values():
                packet = table["packet"].astype(np.intp)
                table["arrival_ns"], table["host_time"] = host[0][packet], host[1][packet]
            dtypes = {name: _with_host_columns(np, dtype) for name, dtype in dtypes.items()}
        return Recording(path, _RowsFromColumns(np, columns, dtypes), *whole, columns=columns, host_clock=fits)
    records: dict[str, Table] = {}
    for name in list(tables):
        records[name] = np.frombuffer(tables.pop(name), dtype=dtypes[name])
        if host:
            records[name] = _add_host_rows(np, records[name], host[0], host[1])
    return Recording(path, records, *whole, host_clock=fits)
