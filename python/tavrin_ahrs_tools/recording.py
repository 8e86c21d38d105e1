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
    the file, from 0) and `offset` (uint64: byte offset of that packet), then
    the record's items in order at their wire width; validity flags are bool
    (True for Valid).
    """
    np = _numpy()
    return {
        name: np.dtype([("packet", "u8"), ("offset", "u8")] + list(items))
        for name, _set, items in _native.catalogue()
    }


class Recording:
    """What `load()` found in a recorded stream.

    records        dict: record name -> numpy structured array, one row per
                   occurrence (only records present in the file)
    sets           dict: descriptor-set name -> count of well-formed packets
    packets        count of well-formed packets
    skipped_bytes  bytes that belong to no well-formed packet
    damaged        byte offset of each run of such bytes (numpy uint64 array)
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

    def to_pandas(self, name):
        """The record's table as a pandas DataFrame (needs pandas)."""
        try:
            import pandas
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install pandas") from None
        return pandas.DataFrame(self.records[name])

    def __repr__(self):
        return (f"<Recording {self.path!r}: {self.packets} packets, {len(self.records)} records, "
                f"{len(self.damaged)} damaged runs, {self.skipped_bytes} bytes skipped"
                f"{', truncated' if self.truncated else ''}>")


def load(path, progress=False):
    """Decodes the recorded stream at `path` (str, bytes or path-like, any
    name the system takes) into a Recording.

    Damaged packets are skipped and counted, never fatal: the file is read with
    the same lossless resynchronisation as a live port. Raises OSError when
    the file cannot be read. With progress=True a progress bar is drawn on
    standard error when it is a terminal and the work lasts over a second.
    """
    np = _numpy()
    path = os.fspath(path)
    dtypes = record_dtypes()
    size = os.path.getsize(path) if progress and os.path.exists(path) else 0
    with Progress(size, os.fsdecode(os.path.basename(path)), enabled=progress) as bar:
        found = _native.scan(path, bar.update if progress else None)
    records = {}
    tables = found["records"]
    for name in list(tables):
        records[name] = np.frombuffer(tables.pop(name), dtype=dtypes[name])
    damaged = np.frombuffer(found.pop("damaged"), dtype=np.uint64)
    return Recording(path, records, found["sets"], found["packets"], found["skipped_bytes"],
                     damaged, found["truncated"])
