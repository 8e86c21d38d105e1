"""Driver for an attitude and heading reference system speaking MIP over a serial line."""

from typing import final

__all__ = ["AHRSClient", "BufferedAHRSClient", "parse_data_stream_py"]

__version__: str

# One decoded reading: its items by name. Floats for the vector, angle,
# matrix and time items; ints for 16-bit items (weeks, flags, filter state);
# "Valid" or "Invalid" for the validity items ("valid", "valid_flags").
ReadingDict = dict[str, float | int | str]

# One packet's snapshot: "type" is "sensor" or "estimate"; every other key is
# a reading's variant name (e.g. "CFEulerAngles", "OrientationEuler") mapping
# to its ReadingDict. Empty when the attempt gave no readings.
Snapshot = dict[str, str | ReadingDict]

def parse_data_stream_py(filename: str) -> None:
    """Decode a recorded stream file, printing one line of readings per packet
    to standard output and one closing line to standard error. Raises OSError
    when the file cannot be opened."""

@final
class AHRSClient:
    """Synchronous client for a serial device or a recorded stream file."""

    def __init__(self) -> None: ...
    def open(self, serial_device: str, baud_rate: int) -> None:
        """Open a serial device (raw 8N1, 100 ms time-out). Raises ValueError."""
    def open_file(self, filename: str) -> None:
        """Open a recorded stream file. Raises ValueError."""
    def configure(self) -> None:
        """Send the fixed configuration sequence to an open, not yet streaming device."""
    def start_stream(self) -> None:
        """Start reading packets from the opened device."""
    def read(self) -> Snapshot:
        """Read one packet as a snapshot; an empty dict when the attempt failed."""
    def read_packet(self) -> list[ReadingDict]:
        """Read one packet as a list of reading dicts. Raises ValueError."""

@final
class BufferedAHRSClient:
    """Reads a serial device on a background thread into a bounded queue."""

    def __init__(self, serial_device: str, baud_rate: int, buffer_size: int, verbose: bool) -> None: ...
    def take(self) -> list[tuple[int, Snapshot]]:
        """Everything queued since the last call, oldest first, as
        (milliseconds since the Unix epoch, snapshot) pairs. Never waits."""
