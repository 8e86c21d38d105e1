"""A recording decoded into one numpy structured array per record."""
import os

from . import _native
from .progress import Progress

_INSTALL_NUMPY = "load() needs numpy: pip install 'tavrin_ahrs_driver[tools]'"


def _numpy():
    try:
        import numpy
    except ImportError:
        raise ImportError(_INSTALL_NUMPY) from None
    return numpy


def record_dtypes():
    """The array layout of every record, from the native catalogue.

    Each row starts with `packet` (uint64: index of the well-formed packet in
    the file, from 0), `offset` (uint64: byte offset of that packet) and
    `time` (float64: the packet's GPS time in seconds, GPS week * 604800 +
    time of week, from the packet's GPSCorrelationTimestamp or GPSTimestamp
    record; NaN when the packet has none), then the record's items in order
    at their wire width; validity flags are bool (True for Valid).
    """
    np = _numpy()
    return {
        name: np.dtype([("packet", "u8"), ("offset", "u8"), ("time", "f8")]
                       + [(item, code) for item, code, _unit in items])
        for name, _set, items in _native.catalogue()
    }


def units():
    """The unit of every column, by record: {record: {column: unit}}.

    `time` is in "s"; each item is in the unit the sensor sends it in (values
    are never converted): "rad", "rad/s", "m/s^2", "m/s", "gauss", "mbar",
    "m", "s", "week". Dimensionless values (orientation matrices and
    quaternions), enumerations, bit flags and validity flags have "". The
    stabilised north and up vectors are directions whose scale is not known:
    "unknown". `packet` and `offset` (an index and a byte offset) are not
    listed.
    """
    return {
        name: {"time": "s", **{item: unit for item, _code, unit in items}}
        for name, _set, items in _native.catalogue()
    }


class Recording:
    """What `load()` found in a recorded stream.

    records        dict: record name -> numpy structured array, one row per
                   occurrence (only records present in the file)
    sets           dict: descriptor-set name -> count of well-formed packets
    packets        count of well-formed packets
    skipped_bytes  bytes that belong to no well-formed packet
    damaged        byte offset of each run of such bytes
    truncated      True when the file ends inside a packet
    """

    def __init__(self, path, records, sets, packets, skipped_bytes, damaged, truncated):
        self.path = path
        self.records = records
        self.sets = sets
        self.packets = packets
        self.skipped_bytes = skipped_bytes
        self.damaged = damaged
        self.truncated = truncated

    def to_pandas(self, name, index=None):
        """The record's table as a pandas DataFrame (needs pandas).

        index="time" (or any other column) makes that column the index.
        """
        try:
            import pandas
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install pandas") from None
        frame = pandas.DataFrame(self.records[name])
        return frame if index is None else frame.set_index(index)

    def __repr__(self):
        return (f"<Recording {self.path!r}: {self.packets} packets, {len(self.records)} records, "
                f"{len(self.damaged)} damaged runs, {self.skipped_bytes} bytes skipped"
                f"{', truncated' if self.truncated else ''}>")


def load(path, progress=False):
    """Decodes the recorded stream at `path` into a Recording.

    Damaged packets are skipped and counted, never fatal: the file is read with
    the same lossless resynchronisation as a live port. Raises OSError when
    the file cannot be read. With progress=True a progress bar is drawn on
    standard error when it is a terminal and the work lasts over a second.
    """
    np = _numpy()
    path = os.fspath(path)
    dtypes = record_dtypes()
    size = os.path.getsize(path) if progress and os.path.exists(path) else 0
    with Progress(size, os.path.basename(path), enabled=progress) as bar:
        found = _native.scan(path, bar.update if progress else None)
    records = {}
    tables = found["records"]
    for name in list(tables):
        records[name] = np.frombuffer(tables.pop(name), dtype=dtypes[name])
    return Recording(path, records, found["sets"], found["packets"], found["skipped_bytes"],
                     found["damaged"], found["truncated"])
