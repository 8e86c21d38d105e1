"""The simulator's side of a pseudo-terminal: a reader comes and goes, and
commands it writes are acknowledged while the stream flows."""

from __future__ import annotations

import contextlib
import fcntl
import os
import select
import signal
import struct
import termios
import time
import tty
from collections.abc import Callable
from types import FrameType

from . import frames as mip

IDLE_POLL = 0.02
# A cable pulled mid-packet: the reader is left up to this long to take the
# half packet before the terminal closes, which discards what is unread.
UNPLUG_GRACE = 0.2


def acknowledge(command: mip.Packet) -> bytes:
    """The reply to a command packet: one ack field per command field."""
    payload = b"".join(bytes((4, mip.ACK_FIELD, desc, 0x00)) for desc, _ in mip.walk_fields(command.payload))
    return mip.frame(command.descriptor_set, payload)


class StopSignal:
    """SIGTERM/SIGINT set a flag and wake any poll through a pipe."""

    def __init__(self) -> None:
        self.fd, self._write_fd = os.pipe()
        os.set_blocking(self.fd, False)
        os.set_blocking(self._write_fd, False)
        self.signum: int | None = None
        self._parent = os.getppid()
        self._saved = {sig: signal.signal(sig, self._handle) for sig in (signal.SIGTERM, signal.SIGINT)}
        self._saved_wakeup = signal.set_wakeup_fd(self._write_fd)

    def _handle(self, signum: int, _frame: FrameType | None) -> None:
        self.signum = signum

    @property
    def set(self) -> bool:
        # A parent that died leaves nobody to stop us; treat it as a stop.
        return self.signum is not None or os.getppid() != self._parent

    def sleep(self, seconds: float) -> None:
        select.select([self.fd], [], [], seconds)
        with contextlib.suppress(BlockingIOError):
            os.read(self.fd, 64)

    def close(self) -> None:
        signal.set_wakeup_fd(self._saved_wakeup)
        for sig, handler in self._saved.items():
            signal.signal(sig, handler)
        os.close(self.fd)
        os.close(self._write_fd)


class PtyLink:
    """The master side of a pseudo-terminal whose slave a reader opens.

    The simulator does not keep the slave open itself, so the master reports
    a hang-up exactly while no reader holds the device.

    With `link`, a symlink there always points at the current terminal, as
    udev keeps /dev/serial/by-id.  With `unplug_every`, the terminal is
    closed every so many seconds, half-way through a packet when one is
    going out, and a new one (with a new number) takes its place, as a
    cable pulled and plugged back in; `on_plug` is told each new path.
    """

    def __init__(
        self,
        stop: StopSignal,
        linger: float,
        deadline: float,
        link: str | None = None,
        unplug_every: float | None = None,
        on_plug: Callable[[str], object] | None = None,
    ) -> None:
        self.master, self.path = _open_terminal()
        self.stop = stop
        self.linger = linger
        self.deadline = deadline
        self.link = link
        self.unplug_every = unplug_every
        self.on_plug = on_plug or (lambda path: None)
        self.unplugs = 0
        self._unplug_at = float("inf")
        self.pending = bytearray()
        self.scanner = mip.PacketScanner()
        self.seen_reader = False
        self.gone = False  # the reader closed the device and did not come back
        self.replies = 0
        try:
            self._plugged()
        except OSError:
            os.close(self.master)
            raise

    def _plugged(self) -> None:
        if self.link is not None:
            _point_link(self.link, self.path)
        if self.unplug_every is not None:
            self._unplug_at = time.monotonic() + self.unplug_every

    def close(self) -> None:
        os.close(self.master)
        if self.link is not None:
            _remove_link(self.link, self.path)

    def _unplug_if_due(self) -> bool:
        """Pulls the cable and plugs it back in when it is time; True if so."""
        if time.monotonic() < self._unplug_at:
            return False
        if self.pending:
            try:
                os.write(self.master, self.pending[: _mid_packet(self.pending)])
            except OSError:  # no room, or no reader: nothing goes out
                pass
            else:
                self.wait_drained(UNPLUG_GRACE)
        # The new terminal opens before the old one closes, so its number is
        # new; the link moves first, so a reader woken by the hang-up finds it.
        old = self.master
        self.master, self.path = _open_terminal()
        self._plugged()
        os.close(old)
        self.pending.clear()
        self.scanner = mip.PacketScanner()
        self.unplugs += 1
        self.on_plug(self.path)
        return True

    def hung_up(self) -> bool:
        """True while no reader holds the device."""
        events = select.poll()
        events.register(self.master, select.POLLIN)
        hung_up = any(ev & select.POLLHUP for _, ev in events.poll(0))
        self.seen_reader |= not hung_up
        # With a reader, the cable goes with the next write, mid-packet.
        if hung_up and time.monotonic() >= self._unplug_at:
            self.pending.clear()  # nobody to take half a packet
            self._unplug_if_due()
        return hung_up

    def await_reader(self) -> bool:
        """True once a reader holds the device; False when we should quit."""
        gone_at = time.monotonic()
        while self.hung_up():
            now = time.monotonic()
            if self.stop.set or now >= self.deadline:
                return False
            if self.seen_reader and now - gone_at >= self.linger:
                self.gone = True
                return False
            self.stop.sleep(IDLE_POLL)
        return True

    def _read_commands(self) -> None:
        try:
            data = os.read(self.master, 4096)
        except OSError:  # nothing yet, or EIO: the reader closed the device
            return
        for packet in self.scanner.feed(data):
            if packet.descriptor_set in mip.COMMAND_SETS:
                self.pending += acknowledge(packet)
                self.replies += 1

    def _write_pending(self) -> None:
        if self._unplug_if_due():
            return
        try:
            written = os.write(self.master, self.pending)
        except OSError:  # no room yet, or the reader closed the device
            return
        del self.pending[:written]

    def service(self, timeout: float) -> None:
        """Wait up to `timeout` s, reading commands and writing queued bytes."""
        events = select.poll()
        mask = select.POLLIN | (select.POLLOUT if self.pending else 0)
        events.register(self.master, mask)
        events.register(self.stop.fd, select.POLLIN)
        for fd, ev in events.poll(max(0, int(timeout * 1000 + 0.999))):
            if fd == self.stop.fd:
                self.stop.sleep(0)
            elif ev & select.POLLHUP:
                return
            else:
                if ev & select.POLLIN:
                    self._read_commands()
                if ev & select.POLLOUT:
                    self._write_pending()

    def send_all(self, data: bytes | bytearray | memoryview) -> bool:
        """Queue `data` and wait until it has all been taken; False to quit.

        Also looks for commands first, since a reader that keeps up means
        the writes below never wait.
        """
        self.service(0)
        self.pending += data
        while self.pending:
            if self.stop.set or time.monotonic() >= self.deadline or not self.await_reader():
                return False
            self._write_pending()
            if self.pending:
                self.service(0.1)
        return True

    def wait_drained(self, patience: float = 2.0) -> None:
        """Before closing the master (which discards unread input), give the
        reader time to take what is still queued on its side."""
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:  # held exclusively by a non-root reader
            self.stop.sleep(patience)
            return
        try:
            last, since = -1, time.monotonic()
            while not self.stop.set and time.monotonic() - since < patience:
                queued = _queued_input(fd)
                if queued == 0 and last == 0:
                    return
                if queued != last:
                    last, since = queued, time.monotonic()
                self.stop.sleep(IDLE_POLL)
        finally:
            os.close(fd)


def _open_terminal() -> tuple[int, str]:
    """A new pseudo-terminal, raw: (master, path of the slave)."""
    master, slave = os.openpty()
    try:
        path = os.ttyname(slave)
        tty.setraw(slave, termios.TCSANOW)
    except BaseException:
        os.close(master)
        raise
    finally:
        os.close(slave)
    os.set_blocking(master, False)
    return master, path


def _point_link(link: str, target: str) -> None:
    """Makes `link` a symlink to `target` in one step: a reader resolving it
    at any moment finds either the old terminal or the new one."""
    temporary = f"{link}.{os.getpid()}.new"
    with contextlib.suppress(FileNotFoundError):
        os.unlink(temporary)
    os.symlink(target, temporary)
    try:
        os.replace(temporary, link)
    except BaseException:
        os.unlink(temporary)
        raise


def _remove_link(link: str, target: str) -> None:
    """Removes `link` if it is still ours, as udev does when a device goes."""
    with contextlib.suppress(OSError):
        if os.readlink(link) == target:
            os.unlink(link)


def _mid_packet(data: bytes | bytearray) -> int:
    """How many bytes of `data` end half-way through its first packet."""
    whole = data[3] + 6 if len(data) >= 4 and data[:2] == mip.SYNC else len(data)
    return max(1, min(whole, len(data)) // 2)


def _queued_input(fd: int) -> int:
    buf = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, buf)
    queued: int = struct.unpack("i", buf)[0]
    return queued
