"""Loaded at start-up by every interpreter of the AddressSanitizer run (the
run puts this folder on PYTHONPATH, so subprocesses inherit it). It keeps
two kinds of blocks that are not the driver's out of the leak report; all
else, numpy's later allocations and the driver's on any thread included,
is checked as usual.

- numpy's, scipy's, pandas' and the analysis libraries' modules keep objects that
  they never release and lose some references while they import (a string
  joined in one of the latter's imports, for one): leak detection is paused
  in the importing thread for the length of their own import.
- CPython never frees the frames of a daemon thread that still runs when
  the interpreter exits, nor what they hold: a daemon thread's allocations
  are left unchecked, and so are the frames it was started with.
- The main thread of a process of the analysis cluster runs the cluster
  library's event loop, which keeps a tuple it never frees: it is left
  unchecked there (the tasks run on other threads, which are checked).
"""
import ctypes
import gc
import os
import sys
import threading
from importlib.machinery import PathFinder

try:
    _runtime = ctypes.CDLL(None)
    _pause = getattr(_runtime, "__lsan_disable")
    _ignore = getattr(_runtime, "__lsan_ignore_object")
except AttributeError:  # no sanitizer runtime in this process
    _pause = None
else:
    _ignore.argtypes = [ctypes.c_void_p]


_depth = threading.local()


class _Paused:
    """Leak detection paused in this thread; nested pauses count."""

    def __enter__(self):
        if not getattr(_depth, "n", 0):
            # A full collection empties the interpreter's free lists: otherwise
            # the import would be handed floats (and the like) allocated before
            # the pause, and the ones it keeps would show up as leaks.
            gc.collect()
        _depth.n = getattr(_depth, "n", 0) + 1
        _pause()

    def __exit__(self, *exc):
        getattr(_runtime, "__lsan_enable")()
        _depth.n -= 1


class _UncheckedLoader:
    def __init__(self, inner):
        self._inner = inner

    def create_module(self, spec):
        # An extension module's initialisation runs here.
        with _Paused():
            return self._inner.create_module(spec)

    def exec_module(self, module):
        with _Paused():
            self._inner.exec_module(module)


class _UncheckedImport:
    """Finds these libraries and their submodules as usual, then loads them
    with leak detection paused: a submodule loaded long after the package
    (scipy's are loaded on first use) is as much theirs."""

    NAMES = ("numpy", "scipy", "pandas", "pyarrow", "polars", "duckdb", "mcap", "dask", "distributed")

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name.partition(".")[0] not in _UncheckedImport.NAMES:
            return None
        spec = PathFinder.find_spec(name, path)
        if spec is not None and spec.loader is not None:
            spec.loader = _UncheckedLoader(spec.loader)
        return spec


def _unchecked_daemons():
    start = threading.Thread._bootstrap_inner

    def _bootstrap_inner(self):
        if self.daemon:
            _pause()  # for good: the count dies with the thread
            frame = sys._getframe()
            while frame is not None:
                _ignore(id(frame))
                frame = frame.f_back
        start(self)

    threading.Thread._bootstrap_inner = _bootstrap_inner


def _note_command():
    """Names this process in $AHRS_SANITIZE_PIDS/<pid>, so that a report
    (its file is named by the pid) can be traced to the command that made it."""
    where = os.environ.get("AHRS_SANITIZE_PIDS")
    if where:
        try:
            with open(os.path.join(where, str(os.getpid())), "w") as f:
                f.write(f"{os.getcwd()}\n{sys.orig_argv!r}\n")
        except OSError:
            pass


if _pause is not None:
    _note_command()
    sys.meta_path.insert(0, _UncheckedImport)
    if "--multiprocessing-fork" in sys.argv:
        # A process of the analysis cluster: its main thread runs the
        # cluster library's event loop, which keeps a tuple it never frees
        # (as any worker does, doing nothing of ours). The tasks, and so
        # our code, run on threads of their own, which stay checked.
        _pause()
    _unchecked_daemons()
