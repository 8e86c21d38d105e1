"""Native core of the recording tools: decoding and export of recorded streams."""

from collections.abc import Callable, Iterable
from typing import Literal, TypedDict, final

from _typeshed import StrOrBytesPath

# Told the bytes consumed so far, now and then; None for no progress.
ProgressHook = Callable[[int], object] | None
# (item name, numpy type code, unit) of one item of a record.
CatalogueItem = tuple[str, str, str]
# (record name, descriptor-set name, items, field descriptor)
CatalogueEntry = tuple[str, str, tuple[CatalogueItem, ...], int]
# One item's value as read() gives it: a float, a 16-bit int, or "Valid"/"Invalid".
ItemValue = float | int | str
# (set name, host_ns, wall_ns, device time or None, {record: {item: value}})
# (set, host_ns, wall_ns, device_time, readings, time_ns)
SampleTuple = tuple[str, int, int, float | None, dict[str, dict[str, ItemValue]], int | None]

class ClockFields(TypedDict):
    offset: int | None
    drift_ppm: float | None
    window: int
    resets: int
    spread: float | None

# (column bytes, rows, start of each column in those bytes)
ColumnBlock = tuple[bytearray, int, tuple[int, ...]]

class _ScanCounts(TypedDict):
    packets: int
    skipped_bytes: int
    truncated: bool
    damaged: bytearray  # native uint64 byte offsets of the damaged runs
    sets: dict[str, int]

class Scan(_ScanCounts):
    records: dict[str, bytearray]  # packed rows of each record present

class ColumnScan(_ScanCounts):
    records: dict[str, ColumnBlock]

class LiveStats(TypedDict):
    packets: dict[str, int]
    bytes: int
    skipped_bytes: int
    damaged_runs: int
    checksum_failures: int
    timeouts: int
    dropouts: dict[str, int]
    dropped: int
    reconnects: int
    queued: int
    max_queued: int
    recorded_bytes: int
    record_error: str | None

def catalogue() -> tuple[CatalogueEntry, ...]:
    """The records, in catalogue order."""

class WireFormat(TypedDict):
    descriptor_sets: dict[str, int]  # every set a packet may carry: name -> byte
    wire_types: dict[str, tuple[int, int]]  # type code -> (bytes on the wire, bytes in a row)
    row_header: tuple[tuple[str, str], ...]  # (name, type code) of the columns before a record's items
    sample_columns: tuple[tuple[str, str], ...]  # (name, type code) of those a live sample's row adds
    time_items: dict[str, tuple[str, str]]  # dating record -> (time-of-week item, week item)
    seconds_per_week: float  # a packet's time is week * seconds_per_week + time of week
    sync: bytes  # the two bytes every packet starts with
    max_packet: int  # the longest packet, in bytes

def wire_format() -> WireFormat:
    """The facts around the records."""

def scan(path: StrOrBytesPath, progress: ProgressHook, times: bytes | bytearray | None) -> Scan:
    """Decodes a recording into packed record tables."""

def scan_columns(path: StrOrBytesPath, progress: ProgressHook, times: bytes | bytearray | None) -> ColumnScan:
    """As scan(), each record's table laid out column by column."""

def dump(
    path: StrOrBytesPath,
    format: str,  # noqa: A002 (the keyword the function takes)
    records: str,
    out: StrOrBytesPath,
    progress: ProgressHook,
) -> tuple[int, int, int, bool]:
    """Exports a recording as text, jsonl or csv: (packets, damaged runs, skipped bytes, truncated)."""

def cut_times(times: bytes | bytearray, start: int, end: int) -> bytes:
    """The host-time sidecar `times` for the recording's bytes [start, end) alone."""

@final
class LiveReader:
    """The native half of Sensor: a reader thread filling a bounded queue."""

    def __init__(
        self,
        path: str,
        baud: int,
        configure: bool,
        capacity: int,
        drop_oldest: bool,
        reconnect: bool,
        record: str | None,
        /,
    ) -> None: ...
    def read(self, timeout: float | None, /) -> SampleTuple | Literal[False] | None:
        """The next sample tuple; None after the time-out; False once ended."""
    def poll(self) -> SampleTuple | Literal[False] | None:
        """As read(0)."""
    def latest(self) -> SampleTuple | None:
        """The newest sample tuple received, or None."""
    def take_tables(self) -> dict[str, bytearray]:
        """Every queued sample as packed rows, by record."""
    def stats(self) -> LiveStats:
        """The counters."""
    def close(self) -> None:
        """Stops the reader and releases the device."""
    def clocks(self) -> tuple[ClockFields, ClockFields]:
        """The sensor and filter sets' clock models."""
    def clear_signal(self) -> None:
        """Makes signal_fd unreadable."""
    @property
    def signal_fd(self) -> int:
        """Readable while samples are queued or the reader has ended."""
    @property
    def status(self) -> Literal["streaming", "reconnecting", "closed", "failed"]: ...
    @property
    def error(self) -> str | None: ...
    @property
    def inherited(self) -> bool: ...

# One of the message kinds Ros2Writer knows.
Ros2Kind = Literal["imu", "mag", "pressure", "time_reference", "tf"]
# (channel, packets, log_times, stamps, rows): uint64, uint64, int64 and
# float64 bytes, the rows a channel's kind's doubles each.
Ros2Batch = tuple[int, bytes, bytes, bytes, bytes]

@final
class Ros2Writer:
    """ROS 2 messages into an MCAP file."""

    def __init__(self, path: str, /) -> None: ...
    def channel(self, topic: str, kind: Ros2Kind, frame_id: str, other: str, /) -> int:
        """A channel of one message kind; other is the child frame (tf) or source (time_reference)."""
    def write(self, batches: Iterable[Ros2Batch], /) -> None:
        """Writes (channel, packets, log_times, stamps, rows) batches in packet order."""
    def finish(self) -> int:
        """Writes the summary; returns the message count."""
    @staticmethod
    def encode(kind: Ros2Kind, stamp_ns: int, frame_id: str, other: str, row: bytes, /) -> bytes:
        """One message's CDR bytes from a row of float64 bytes."""
    @staticmethod
    def schema(kind: Ros2Kind, /) -> tuple[str, bytes]:
        """(ROS 2 type name, ros2msg definition as bytes)."""
    @staticmethod
    def compression() -> str:
        """The chunks' compression: 'zstd', or '' in a build without libzstd."""
