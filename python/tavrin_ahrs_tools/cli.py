"""What the commands share: how they meet the process, and loading the
recording a user named.

Every command's `main(argv=None) -> int` goes through `command`::

    @command("ahrs-example")
    def main(argv=None):
        ...
        return 0

which gives each command the same edges:

- descriptors 0 to 2 that the process was started without are held by
  placeholders, so no file the command opens lands there (and no data goes
  where a diagnostic was meant to); with standard error closed, diagnostics
  are dropped;
- standard output that cannot be written (closed, a full disk, /dev/full)
  ends the command with exit 1 and one line on standard error, whether the
  command was printing its results or only its --help or --version;
- a reader that goes away (`| head`) ends the command quietly, exit 141, as
  the shell reports a command ended by SIGPIPE;
- Ctrl-C ends it with exit 130 and no traceback; a second one while it
  shuts down ends it at once, 130 still.
"""

from __future__ import annotations

import argparse
import errno
import functools
import importlib
import importlib.metadata
import os
import signal
import stat
import sys
import threading
from collections.abc import Callable, Iterable
from types import ModuleType
from typing import IO, TYPE_CHECKING, Any, Protocol, TypeAlias

if TYPE_CHECKING:
    from .recording import Recording
    from .sensor import Sensor

# A command's entry point: its arguments (None: the process's) to its exit status.
Main: TypeAlias = Callable[[list[str] | None], int]


class Command(Protocol):
    """A command as the package's entry points call it: `main()` or `main(argv)`."""

    def __call__(self, argv: list[str] | None = None) -> int: ...


EXIT_BROKEN_PIPE = 128 + 13
EXIT_INTERRUPTED = 128 + 2

# A placeholder is /dev/null opened the other way round: it takes the slot,
# and every use of it fails as the closed descriptor would (EBADF).
_PLACEHOLDER_MODES = ((0, os.O_WRONLY), (1, os.O_RDONLY), (2, os.O_RDONLY))


def _hold_closed_standard_descriptors() -> set[int]:
    """The standard descriptors the process was started without, now held."""
    closed = set()
    for fd, mode in _PLACEHOLDER_MODES:
        try:
            os.fstat(fd)
            continue
        except OSError:
            pass
        held = os.open(os.devnull, mode)
        if held != fd:
            os.dup2(held, fd)
            os.close(held)
        os.set_inheritable(fd, True)
        closed.add(fd)
    if 1 in closed and sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)  # noqa: SIM115 (fails on its first flush, which is reported)
    if 2 in closed and sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 (nowhere to say anything: said to nobody)
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")  # a file's name comes out as its bytes
    return closed


def _drop_standard_output() -> None:
    """Whatever is still buffered for standard output goes nowhere, so that
    the interpreter's own flush at exit finds nothing to fail on."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
    except OSError:
        pass
    sys.stdout = open(os.devnull, "w")  # noqa: SIM115 (standard output for the rest of the process)


class StandardOutputError(OSError):
    """A write to standard output failed: the command's results are lost."""


class _GuardedOutput:
    """sys.stdout, with its failures told apart from those of the files a
    command reads and writes (which it reports itself, by name)."""

    def __init__(self, stream: IO[str]) -> None:
        self._stream = stream
        self.failure: StandardOutputError | None = None  # kept: argparse swallows the error of its --help and --version

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)

    def _guarded(self, call: Callable[..., Any], *args: Any) -> Any:
        try:
            return call(*args)
        except BrokenPipeError:
            raise
        except OSError as err:
            self.failure = StandardOutputError(err.errno, err.strerror)
            raise self.failure from None

    def write(self, text: str) -> int:
        return self._guarded(self._stream.write, text)

    def writelines(self, lines: Iterable[str]) -> None:
        return self._guarded(self._stream.writelines, lines)

    def flush(self) -> None:
        return self._guarded(self._stream.flush)


def _output_failure(name: str, err: OSError) -> int:
    """The one line that says standard output could not take the results."""
    _drop_standard_output()
    if err.errno == errno.EBADF:
        print(f"{name}: standard output is closed", file=sys.stderr)
    else:
        print(f"{name}: cannot write to standard output: {err.strerror}", file=sys.stderr)
    return 1


def _flush_standard_output() -> None:
    """Flushes standard output here, where a failure is still ours to
    report, and raises any failure of it that was swallowed before."""
    if sys.stdout is None:
        return
    sys.stdout.flush()
    failure = getattr(sys.stdout, "failure", None)
    if failure is not None:
        raise failure


def _run_guarded(main: Main, argv: list[str] | None) -> int:
    """main(argv), then standard output flushed; argparse's exit (--help,
    --version, a usage error) included."""
    try:
        status = main(argv)
    except SystemExit:
        _flush_standard_output()
        raise
    _flush_standard_output()
    return status


def _end_at_next_interrupt() -> None:
    """Once a command that is the process has been interrupted, another
    Ctrl-C while the interpreter shuts down ends the process at once, with
    the same status: never a traceback from deep in its shutdown, nor an
    end by the signal."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, lambda *_: os._exit(EXIT_INTERRUPTED))


def command(name: str) -> Callable[[Main], Command]:
    """Decorates a command's `main(argv=None) -> int` with the process edges
    every command shares (see the module's description)."""

    def wrap(main: Main) -> Command:
        @functools.wraps(main)
        def run(argv: list[str] | None = None) -> int:
            closed = _hold_closed_standard_descriptors()
            given = sys.stdout
            if given is not None and not isinstance(given, _GuardedOutput):
                sys.stdout = _GuardedOutput(given)
            try:
                status = _run_guarded(main, argv)
            except BrokenPipeError:
                _drop_standard_output()
                return EXIT_BROKEN_PIPE
            except KeyboardInterrupt:
                status = EXIT_INTERRUPTED
            except StandardOutputError as err:
                return _output_failure(name, err)
            except OSError as err:
                if err.errno != errno.EBADF or 1 not in closed:
                    raise
                return _output_failure(name, err)
            finally:
                if isinstance(sys.stdout, _GuardedOutput) and sys.stdout is not given:
                    sys.stdout = given
            if status == EXIT_INTERRUPTED and argv is None:
                _end_at_next_interrupt()
            return status

        return run

    return wrap


def shown_name(path: str | bytes) -> str:
    """A file name as text to draw or show: bytes that are not UTF-8 become
    U+FFFD instead of the lone surrogates few renderers take."""
    return os.fsencode(path).decode("utf-8", "replace")


def _identity(target: str | bytes | int) -> tuple[int, int] | None:
    """(device, inode) of a regular file, by path or open descriptor; None
    for anything else (a terminal both read and written is no loss)."""
    try:
        st = os.stat(target)
    except (OSError, ValueError):
        return None
    return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None


def refuse_output_over_input(
    parser: argparse.ArgumentParser, source: str | bytes, outputs: Iterable[str | bytes | int]
) -> None:
    """Ends the command with exit 2, before anything is written, when one of
    `outputs` (paths, or descriptor numbers for an output inherited from the
    shell) is the very file `source` names, whatever the path says."""
    read = _identity(source)
    if read is None:
        return
    for out in outputs:
        if _identity(out) == read:
            name = "standard output" if isinstance(out, int) else os.fsdecode(out)
            parser.error(f"{name} is the input {os.fsdecode(source)}: refusing to write over it")


def load_recording(
    tool: str, path: str, modules: Iterable[str] = ("numpy",), extra: str = "tools"
) -> tuple[ModuleType, Recording] | None:
    """(numpy, recording), or None after one line on standard error saying
    what to install or why the file cannot be read."""
    try:
        for name in modules:
            importlib.import_module(name)
        import numpy

        from . import load
    except ImportError:
        print(f"{tool} needs {' and '.join(modules)}: pip install 'tavrin_ahrs_driver[{extra}]'", file=sys.stderr)
        return None
    try:
        return numpy, load(path, progress=True)
    except OSError as err:
        print(f"{tool}: cannot read {path}: {err.strerror or err}", file=sys.stderr)
        return None


def _device_trouble(err: OSError, device: str) -> str:
    """The reason a device could not be opened, in one line."""
    if err.strerror:
        return err.strerror
    text = str(err).removesuffix(f": {device}")
    head, _, rest = text.partition(": ")
    return f"not a serial device ({rest})" if head.lower() == "not a serial device" else text


def open_sensor(tool: str, port: str, **options: Any) -> Sensor | None:
    """A command's Sensor on `port` (`options` as Sensor takes them), or
    None after one line on standard error: the device, or the recording
    (record=), that could not be had."""
    from .sensor import Sensor

    try:
        return Sensor(port, **options)
    except OSError as err:
        record = options.get("record")
        if record is not None and err.filename not in (None, port):
            print(f"{tool}: cannot write {record}: {err.strerror or err}", file=sys.stderr)
        else:
            print(f"{tool}: cannot open {port}: {_device_trouble(err, port)}", file=sys.stderr)
    except ValueError as err:  # a path no device can have
        print(f"{tool}: {err}", file=sys.stderr)
    return None


def version() -> str:
    """The installed package's version ("unknown" when run from a source tree)."""
    try:
        return importlib.metadata.version("tavrin_ahrs_driver")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def add_version(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    """Gives a command's parser the --version every command answers."""
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    return parser
