"""A sensor on a serial port, read as a stream of samples.

A native reader keeps the device streaming into a bounded queue: it frames
packets with the port's lossless resynchronisation, stamps each with the
host's clocks, counts damage and loss, records the bytes when asked and
opens the device again when it comes back after a loss. A consumer waiting
in read() or iteration reads the device itself meanwhile, and a thread of
the reader's own does whenever none waits. Waiting for a sample never holds
the interpreter lock.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import numbers
import os
import time
from typing import TYPE_CHECKING, Any, overload

from . import _native
from .ports import PortInfo, describe_ports
from .recording import _numpy, record_dtypes

if TYPE_CHECKING:
    from typing import Literal

    import numpy
    from numpy.typing import NDArray

    from .conventions import Conventions

OVERFLOW = ("block", "drop-oldest")
_MAX_QUEUE = 1 << 24


class Sample:
    """One packet as received.

    set          the descriptor set's name: "DataSensor", "DataEstimationFilter", ...
    host_ns      time.monotonic_ns() clock: when the packet's last byte was read
    wall_ns      time.time_ns() clock, the same instant
    device_time  GPS seconds (week * 604800 + time of week) from the packet's
                 time record, or None when it has none
    readings     record name -> {item: value}, values as the driver's read() gives them
    time_ns      time.monotonic_ns() clock: when the device took the sample, as
                 the reader's clock model estimates it from the device time;
                 None until the model has a fit
    conventions  the attitude Conventions its Sensor has found (or None)
    """

    __slots__ = ("set", "host_ns", "wall_ns", "device_time", "readings", "time_ns", "conventions")

    def __init__(
        self,
        set: str,  # noqa: A002 (the set's name)
        host_ns: int,
        wall_ns: int,
        device_time: float | None,
        readings: dict[str, dict[str, _native.ItemValue]],
        time_ns: int | None = None,
        conventions: Conventions | None = None,
    ) -> None:
        self.set = set
        self.host_ns = host_ns
        self.wall_ns = wall_ns
        self.device_time = device_time
        self.readings = readings
        self.time_ns = time_ns
        self.conventions = conventions

    def _tables(self, names: list[str]) -> dict[str, NDArray[Any]]:
        """The named records as one-row tables laid out as load() lays them out."""
        np, dtypes = _numpy(), record_dtypes()
        tables: dict[str, NDArray[Any]] = {}
        for name in names:
            row = np.zeros(1, dtype=dtypes[name])
            for item, value in self.readings[name].items():
                row[item] = value == "Valid" if isinstance(value, str) else value
            tables[name] = row
        return tables

    def rotation(self, record: str) -> Any:
        """The attitude in `record` as a scipy Rotation (one row) under
        `conventions`: the body frame relative to the world frame."""
        from .conventions import rotation_of

        return rotation_of(_numpy(), self._tables([record])[record], record, self.conventions)

    def euler_degrees(self, record: str | None = None) -> NDArray[Any]:
        """Roll, pitch, yaw in degrees (a numpy array of 3) of `record`'s
        attitude (default: the first attitude record it holds)."""
        from .conventions import attitude_record, euler_degrees_of

        record = record or attitude_record(self.readings)
        return euler_degrees_of(self.rotation(record), self.conventions)[0]

    def __getitem__(self, name: str) -> dict[str, _native.ItemValue]:
        return self.readings[name]

    def __contains__(self, name: object) -> bool:
        return name in self.readings

    def __repr__(self) -> str:
        return (
            f"<Sample {self.set} device_time={self.device_time} host_ns={self.host_ns} records={list(self.readings)}>"
        )


@dataclasses.dataclass(frozen=True)
class Clock:
    """One device clock's model, as of its last fit (None before it has one).

    set        the data set whose time it maps
    offset     ns: time.monotonic_ns() minus the device time in ns, at the
               newest sample (the smallest transport delay included)
    drift_ppm  how much faster the device clock runs than the host's
    window     samples the fit was made from (a few seconds' worth)
    resets     times the model started over: a device-time jump, a GPS
               week change, the device opened again
    spread     ns: standard deviation of the arrival delays above the fit
    """

    set: str
    offset: int | None
    drift_ppm: float | None
    window: int
    resets: int
    spread: float | None


_CLOCK_SETS = ("DataSensor", "DataEstimationFilter")


def _path(name: str, value: object) -> str:
    if isinstance(value, (str, bytes, os.PathLike)):
        value = os.fsdecode(value)
        if "\0" in value:  # the system would cut the path there
            raise ValueError(f"{name} must not contain a NUL character")
        if value:
            return value
        raise ValueError(f"{name} must not be empty")
    raise TypeError(f"{name} must be a path, not {type(value).__name__}")


def _int(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= int(value) <= high:
        raise ValueError(f"{name} must be between {low} and {high}, not {value}")
    return int(value)


def _bool(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def _timeout(value: object) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(value).__name__}")
    if not float(value) >= 0:
        raise ValueError(f"timeout must not be negative, not {value}")
    return float(value)


def _count(value: object) -> int | None:
    return None if value is None else _int("count", value, 0, 2**63 - 1)


def _sample(found: _native.SampleTuple | Literal[False] | None) -> Sample | None:
    """A native pop's result: a Sample, or None for a time-out or the end."""
    return Sample(*found) if found else None


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class _Waiters:
    """The coroutines of one event loop waiting on one Sensor's descriptors
    (the queue's, or the one that is also the device's). A loop watches a
    descriptor with one callback at a time, so all of them share one: any
    readable (bytes, a sample, the end) wakes every one, each looks again,
    and none stays watched once they are woken or gone."""

    def __init__(self, loop: asyncio.AbstractEventLoop, registry: dict[asyncio.AbstractEventLoop, _Waiters]) -> None:
        self.loop, self.registry = loop, registry
        self.fds: set[int] = set()
        self.futures: set[asyncio.Future[None]] = set()

    def wake_all(self) -> None:
        self.stop()
        for future in self.futures:
            _wake(future)

    def stop(self) -> None:
        if self.registry.get(self.loop) is self:
            del self.registry[self.loop]
        for fd in self.fds:
            self.loop.remove_reader(fd)
        self.fds.clear()

    async def wait(self, fd: int) -> None:
        if fd not in self.fds:
            self.fds.add(fd)
            self.loop.add_reader(fd, self.wake_all)
        future: asyncio.Future[None] = self.loop.create_future()
        self.futures.add(future)
        try:
            await future
        finally:
            self.futures.discard(future)
            if not self.futures:  # the last one gone by time-out or cancellation
                self.stop()


_dtypes: dict[str, numpy.dtype[Any]] | None = None


def sample_dtypes() -> dict[str, numpy.dtype[Any]]:
    """load()'s array layout of every record, plus `host_ns` and `time_ns`
    columns (time_ns int64, with NaT's value where the model had no fit)."""
    global _dtypes
    if _dtypes is None:
        np = _numpy()
        extra = list(_native.wire_format()["sample_columns"])
        _dtypes = {name: np.dtype([(f, dt[f]) for f in dt.names or ()] + extra) for name, dt in record_dtypes().items()}
    return _dtypes


class Sensor:
    """A sensor streaming on a serial port.

    Sensor(port, baud=115200, *, configure=True, queue=1000, overflow="block",
           reconnect=True, record=None)

    `port` is a device path, or a PortInfo from list_ports(). Opens the
    device at once (FileNotFoundError, PermissionError or OSError with EBUSY,
    carrying errno and the path), sends the configuration sequence when
    `configure` is true and starts reading. `queue` samples wait for the
    consumer; when it is full, "block" makes the reader wait (nothing is
    lost), "drop-oldest" pushes the oldest out and counts it. With
    `reconnect` a lost device is opened again (its path resolved afresh) until
    it comes back. `record` names a file that receives every byte read.
    """

    def __init__(
        self,
        port: str | bytes | os.PathLike[str] | os.PathLike[bytes] | PortInfo,
        baud: int = 115200,
        *,
        configure: bool = True,
        queue: int = 1000,
        overflow: str = "block",
        reconnect: bool = True,
        record: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None,
    ) -> None:
        self._native: _native.LiveReader | None = None
        self._looked_at = self._next_look = 0  # samples settled so far; the next to look at
        self._conventions: Conventions | None = None
        self._closed = True
        self._waiters: dict[asyncio.AbstractEventLoop, _Waiters] = {}  # event loop -> _Waiters
        if isinstance(port, PortInfo):  # from list_ports(): its stable name when it has one
            port = port.by_id or port.device
        port = _path("port", port)
        baud = _int("baud", baud, 1, 2**32 - 1)
        configure = _bool("configure", configure)
        queue = _int("queue", queue, 1, _MAX_QUEUE)
        if overflow not in OVERFLOW:
            raise ValueError(f"overflow must be one of {', '.join(map(repr, OVERFLOW))}, not {overflow!r}")
        reconnect = _bool("reconnect", reconnect)
        record = None if record is None else _path("record", record)
        try:
            self._native = _native.LiveReader(
                port, baud, configure, queue, overflow == "drop-oldest", reconnect, record
            )
        except FileNotFoundError as e:
            if e.filename != port:
                raise
            raise FileNotFoundError(e.errno, f"{e.strerror} ({describe_ports()})", port) from None
        self._closed = False
        self._port = port
        self._baud = baud

    # -- life

    def close(self) -> None:
        """Stops the reader, releases the device and flushes the recording.
        Idempotent; a wait in another thread ends at once."""
        if not self._closed:
            self._closed = True
            self._live_reader().close()

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> Sensor:
        self._live()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> Sensor:
        self._live()
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_native", None) is not None:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self._native is None else self.status
        return f"<Sensor {getattr(self, '_port', '?')!r} at {getattr(self, '_baud', '?')} baud: {state}>"

    def _live(self) -> _native.LiveReader:
        if self._closed:
            raise ValueError("operation on a closed Sensor")
        return self._live_reader()

    def _live_reader(self) -> _native.LiveReader:
        """The native reader, open or closed (there is one once __init__ has succeeded)."""
        assert self._native is not None
        return self._native

    # -- what it is doing

    @property
    def port(self) -> str:
        return self._port

    @property
    def baud(self) -> int:
        return self._baud

    @property
    def status(self) -> str:
        """ "streaming", "reconnecting", "closed" or "failed"."""
        return "closed" if self._closed else self._live_reader().status

    @property
    def error(self) -> str | None:
        """Why the device was lost or the recording stopped (the latest), or None."""
        return self._live_reader().error

    @property
    def stats(self) -> _native.LiveStats:
        """The counters, read at this moment (a new dict each time)."""
        return self._live_reader().stats()

    @property
    def clocks(self) -> dict[str, Clock]:
        """Each data set's clock model: set name -> Clock."""
        return {name: Clock(name, **fields) for name, fields in zip(_CLOCK_SETS, self._live_reader().clocks())}

    @property
    def clock(self) -> Clock:
        """The clock model of the set with the most samples in its window
        (the sensor set's on a tie): a Clock."""
        sensor, filter_ = self.clocks.values()
        return filter_ if filter_.window > sensor.window else sensor

    # -- receiving

    @property
    def conventions(self) -> Conventions | None:
        """The attitude Conventions, found from the first packet that carries
        the attitude two or three ways and settles them; None until then.
        Assign Conventions (parse_conventions) where the data cannot settle them."""
        return self._conventions

    @conventions.setter
    def conventions(self, value: Conventions | None) -> None:
        self._conventions = value

    @overload
    def _settled(self, sample: Sample) -> Sample: ...
    @overload
    def _settled(self, sample: Sample | None) -> Sample | None: ...

    def _settled(self, sample: Sample | None) -> Sample | None:
        """The sample, carrying the conventions (looked for in it while unknown)."""
        if sample is None:
            return None
        if self._conventions is None and self._looked_at >= self._next_look:
            from .conventions import ATTITUDE_RECORDS, SPECIFIC_FORCE, ConventionsError, detect

            looked = False
            for group, force in zip(ATTITUDE_RECORDS, SPECIFIC_FORCE):
                present = [name for name in group.values() if name in sample.readings]
                if len(present) >= 2:
                    present += [name for name in force if name in sample.readings]
                    looked = True
                    # A packet that does not settle them leaves it to a later one.
                    with contextlib.suppress(ConventionsError):
                        self._conventions = detect(_numpy(), sample._tables(present))
            if looked and self.conventions is None:
                # A look costs milliseconds, many times a sample's own cost:
                # data that settle nothing are looked at after twice as many
                # samples each time (at least every 10,000).
                self._next_look = self._looked_at + min(max(1, self._looked_at), 10_000)
        self._looked_at += 1
        sample.conventions = self._conventions
        return sample

    def read(self, timeout: float | None = None) -> Sample | None:
        """The next sample, waiting at most `timeout` seconds (None: until one
        comes); None after the time-out, or once the stream has ended."""
        timeout = _timeout(timeout)
        return self._settled(_sample(self._live().read(timeout)))

    def latest(self) -> Sample | None:
        """The newest sample received so far, or None; never waits, takes nothing."""
        return self._settled(_sample(self._live().latest()))

    def take_arrays(self) -> dict[str, NDArray[Any]]:
        """Everything queued, at once, as record name -> numpy structured
        array laid out as load() lays it out, plus `host_ns` and `time_ns`
        (int64 ns; where the clock model had no fit it holds the value
        that numpy's datetime64/timedelta64 read as NaT)."""
        live = self._live()
        dtypes = sample_dtypes()  # before anything is taken: numpy may be missing
        tables = live.take_tables()
        np = _numpy()
        return {name: np.frombuffer(tables.pop(name), dtype=dtypes[name]) for name in list(tables)}

    def __iter__(self) -> Sensor:
        self._live()
        return self

    def __next__(self) -> Sample:
        if self._closed:
            raise StopIteration
        found = self._live_reader().read(None)
        if not found or self._closed:
            raise StopIteration
        if self._conventions is not None:  # settled: one call less a sample
            return Sample(*found, self._conventions)
        return self._settled(Sample(*found))

    def samples(self, seconds: float | None = None, count: int | None = None) -> _Samples:
        """Iterates the samples as they come, ending once `seconds` have passed
        (also while the sensor is reconnecting and nothing arrives) or after
        `count` samples, whichever is first; `async for` works the same."""
        return _Samples(self, _timeout(seconds), _count(count))

    # -- asyncio

    async def aread(self, timeout: float | None = None) -> Sample | None:
        """The next sample, as read() gives it, waiting in the event loop."""
        timeout = _timeout(timeout)
        live = self._live()
        if timeout is None:
            return await self._next_async(live)
        # What has come already is taken at once: wait_for() would first
        # wrap the wait in a task, and with no time left cancel it unlooked.
        found = live.next_now()
        if self._closed:
            return None
        if found is False or isinstance(found, tuple):
            return self._settled(_sample(found))
        loop = asyncio.get_running_loop()
        if timeout == 0:
            self._leave(live, found, loop)
            return None
        try:
            return await asyncio.wait_for(self._next_async(live), timeout)
        except asyncio.TimeoutError:
            return None
        except asyncio.CancelledError:  # perhaps before the wait's own first look
            self._leave(live, found, loop)
            raise

    def __aiter__(self) -> Sensor:
        self._live()
        return self

    async def __anext__(self) -> Sample:
        sample = None if self._closed else await self._next_async(self._live_reader())
        if sample is None:
            raise StopAsyncIteration
        return sample

    async def _next_async(self, live: _native.LiveReader) -> Sample | None:
        # Each look frames what the device has sent when the loop can lead it,
        # never waiting; then the loop waits for the device itself (the
        # reader thread stays parked: one wake per sample), or, while the
        # thread leads, for the queue's descriptor, which the look cleared
        # before its last look at the queue. The queue's descriptor, watched
        # either way, also says the end, and that the thread took the device
        # from a stalled loop.
        loop = asyncio.get_running_loop()
        while True:
            found = live.next_now()
            if self._closed:
                return None
            if found is False or isinstance(found, tuple):
                return self._settled(_sample(found))
            waiters = self._waiters.get(loop)
            if waiters is None:
                waiters = self._waiters[loop] = _Waiters(loop, self._waiters)
            try:
                await waiters.wait(found)
            except asyncio.CancelledError:
                self._leave(live, found, loop)
                raise

    def _leave(self, live: _native.LiveReader, found: int, loop: asyncio.AbstractEventLoop) -> None:
        """A wait that will not go on: a lead parked for the loop goes to the
        thread unless another of the loop's waits watches the device."""
        if found != live.signal_fd and loop not in self._waiters:
            live.let_go()


class _Samples:
    """Sensor.samples(): the sensor's samples up to a deadline or a count."""

    def __init__(self, sensor: Sensor, seconds: float | None, count: int | None) -> None:
        self._sensor, self._left = sensor, count
        self._deadline = None if seconds is None else time.monotonic() + seconds

    def _remaining(self) -> float | None:
        if self._left == 0:
            return 0.0
        if self._deadline is None:
            return None
        return max(0.0, self._deadline - time.monotonic())

    def _counted(self, sample: Sample | None, stop: type[Exception]) -> Sample:
        if sample is None:
            raise stop
        if self._left is not None:
            self._left -= 1
        return sample

    def __iter__(self) -> _Samples:
        return self

    def __next__(self) -> Sample:
        remaining = self._remaining()
        if remaining == 0.0:
            raise StopIteration
        return self._counted(self._sensor.read(remaining), StopIteration)

    def __aiter__(self) -> _Samples:
        return self

    async def __anext__(self) -> Sample:
        remaining = self._remaining()
        if remaining == 0.0:
            raise StopAsyncIteration
        return self._counted(await self._sensor.aread(remaining), StopAsyncIteration)
