"""Output files written whole or not at all, for every export format.

An export writes each of its files under a temporary name beside the file
it stands for, and only when the whole export has succeeded are they put in
place, each by one rename. Until then an earlier output stays as it was: an
export that fails, is interrupted, or finds nothing to write never replaces
a good file with a broken or empty one. The temporary files sit in the same
folder, so the rename never crosses a file system.

    with StagedOutputs() as stage:
        write(stage.path("out.mcap"))
        if nothing_written:
            stage.discard()
    # committed here, unless discarded or an exception left the block

A file the export owns but did not write this time (a table of a record no
longer in the recording) is removed on commit: `stage.path()` it and write
nothing there.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat

PARTIAL = ".partial"


def _replaceable(path: str) -> bool:
    """Whether `path` is absent or a regular file: a device or FIFO
    (/dev/full, a pipe to another program) is written in place, as there is
    no file to swap."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


class StagedOutputs:
    """Final path -> temporary path of every file an export owns."""

    def __init__(self) -> None:
        self._pending: dict[str, str] = {}
        self._made_folders: list[str] = []
        self._open = True

    def __enter__(self) -> StagedOutputs:
        return self

    def __exit__(self, kind: type[BaseException] | None, _value: object, _traceback: object) -> None:
        """Commits when the block ends normally; discards when an exception
        (Ctrl-C included) leaves it."""
        if kind is None:
            self.commit()
        else:
            self.discard()

    def _temporary(self, final: str) -> str:
        folder, base = os.path.split(os.path.realpath(final))
        return os.path.join(folder, f".{base}.{secrets.token_hex(4)}{PARTIAL}")

    def path(self, final: str) -> str:
        """The name to write instead of `final`."""
        final = os.fsdecode(final)
        if not _replaceable(final):
            return final
        temp = self._temporary(final)
        self._pending[os.path.realpath(final)] = temp
        return temp

    def prefix(self, final: str, suffixes: list[str]) -> str:
        """The prefix to write instead of `final` for a writer that makes
        files named prefix + suffix; each of them is owned."""
        final = os.fsdecode(final)
        if not all(_replaceable(final + s) for s in suffixes):
            return final
        temp = self._temporary(final)
        for suffix in suffixes:
            self._pending[os.path.realpath(final + suffix)] = temp + suffix
        return temp

    def final_of(self, path: str) -> str | None:
        """The output a temporary name (or temporary prefix) stands for; None for any other name."""
        for final, temp in self._pending.items():
            if path == temp:
                return final
            if temp.startswith(path) and final.endswith(temp[len(path) :]):
                return final[: len(final) - len(temp) + len(path)]
        return None

    def folder(self, path: str | bytes) -> str:
        """Makes the folder files are written into; one made here is gone
        again after a discard."""
        path = os.fsdecode(path)
        missing: list[str] = []
        head = os.path.abspath(path)
        while head and not os.path.isdir(head):
            missing.append(head)
            head = os.path.dirname(head)
        os.makedirs(path, exist_ok=True)
        self._made_folders += missing
        return path

    def commit(self) -> None:
        """Puts every written file in place; removes each owned file not written."""
        if not self._open:
            return
        self._open = False
        for final, temp in self._pending.items():
            if os.path.lexists(temp):
                os.replace(temp, final)
            else:
                _remove(final)

    def discard(self) -> None:
        """Removes what was written; the earlier outputs stay untouched."""
        if not self._open:
            return
        self._open = False
        for temp in self._pending.values():
            _remove(temp)
        for folder in self._made_folders:
            with contextlib.suppress(OSError):
                os.rmdir(folder)  # only when empty: a file someone else put there stays
