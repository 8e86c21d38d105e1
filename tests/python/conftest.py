import contextlib
import ctypes
import os
import select
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


def installed_script(name: str) -> str:
    """A console script of the wheel under test, installed beside this interpreter."""
    return str(Path(sys.executable).parent / name)


class Captured:
    def __init__(self, out, err, rc):
        self.out, self.err, self.rc = out, err, rc


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter, with the test helpers importable
    and `env` added to the environment; the module's own writes to
    descriptors 1 and 2 are captured there."""
    path = os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        timeout=timeout,
        env={**os.environ, **(env or {}), "PYTHONPATH": path},
    )
    return Captured(proc.stdout.decode(), proc.stderr.decode(), proc.returncode)


ASAN_HEAP = getattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes", None)
if ASAN_HEAP:
    ASAN_HEAP.restype = ctypes.c_size_t


def memory_in_use() -> int:
    """Resident bytes; under AddressSanitizer, whose quarantine keeps freed
    blocks resident on purpose, the bytes of heap in use instead."""
    if ASAN_HEAP:
        return ASAN_HEAP()
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


@pytest.fixture
def fd_capture(tmp_path):
    """Captures what is written to descriptors 1 and 2 inside the block."""

    class _Cap:
        def __enter__(self):
            self.files = {}
            self.saved = {}
            for fd in (1, 2):
                f = open(tmp_path / f"fd{fd}-{id(self)}", "w+b")
                self.files[fd] = f
                self.saved[fd] = os.dup(fd)
                os.dup2(f.fileno(), fd)
            return self

        def __exit__(self, *exc):
            for fd in (1, 2):
                os.dup2(self.saved[fd], fd)
                os.close(self.saved[fd])
                f = self.files[fd]
                f.seek(0)
                setattr(self, "out" if fd == 1 else "err", f.read().decode())
                f.close()
            return False

    return _Cap


def read_until(fd, done, timeout=60.0):
    """Bytes read from `fd` until `done(data)` holds, the time is up, or the
    other side has gone (a terminal's EIO)."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while not done(data) and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                data += os.read(fd, 65536)
            except OSError:  # EIO: the other side has gone
                break
    return bytes(data)


def write_all(fd: int, data: bytes):
    """A terminal's master side may take only part of a large write."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


class Pty:
    """A real pseudo-terminal: the test plays the sensor on the master side."""

    def __init__(self):
        import tty

        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self.slave)

    def send(self, data: bytes):
        write_all(self.master, data)

    def received(self, n: int, timeout=30.0) -> bytes:
        import select
        import time

        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < n and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                data += os.read(self.master, 4096)
        return data

    def close(self):
        for fd in (self.master, self.slave):
            with contextlib.suppress(OSError):
                os.close(fd)


@pytest.fixture
def pty():
    p = Pty()
    yield p
    p.close()


def simulator_recording(path, seconds):
    """Records `seconds` of the simulated sensor's stream into `path`."""
    subprocess.run(
        [installed_script("ahrs-sim"), "--record", str(path), "--seconds", str(seconds)],
        check=True,
        capture_output=True,
        timeout=120,
    )
    return path
