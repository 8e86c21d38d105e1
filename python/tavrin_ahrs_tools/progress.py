"""A progress bar on standard error for the tools.

Drawn only when standard error is a terminal and only once the work has lasted
over a second, so short runs and redirected output stay clean.
"""

from __future__ import annotations

import os
import sys
import time
from typing import IO, Any

_WIDTH = 30
_REDRAW = 0.1  # seconds between two redraws


class Progress:
    """Shows `done` of `total` (bytes, packets, ...) as a bar with a percentage.

    Call `update(done)` as often as convenient and `close()` at the end (or
    use it as a context manager)::

        with Progress(os.path.getsize(path), "flight.bin") as bar:
            for ...:
                bar.update(done)
    """

    def __init__(
        self, total: int, label: str = "", stream: IO[str] | None = None, delay: float = 1.0, enabled: bool = True
    ) -> None:
        self.total = max(int(total), 1)
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        self.enabled = enabled and _is_terminal(self.stream)
        self._start = time.monotonic()
        self._delay = delay
        self._last = 0.0
        self._drawn = False

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._start < self._delay or now - self._last < _REDRAW:
            return
        self._last = now
        self._draw(min(done, self.total))

    def close(self) -> None:
        """Finishes the bar on its own line, if it was ever drawn."""
        if self._drawn:
            self._draw(self.total)
            self.stream.write("\n")
            self.stream.flush()
            self._drawn = False

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _draw(self, done: int) -> None:
        filled = _WIDTH * done // self.total
        bar = "#" * filled + "-" * (_WIDTH - filled)
        label = f"{self.label} " if self.label else ""
        self.stream.write(f"\r{label}[{bar}] {100 * done // self.total:3d}%")
        self.stream.flush()
        self._drawn = True


def _is_terminal(stream: Any) -> bool:

    try:
        return os.isatty(stream.fileno())
    except (AttributeError, OSError, ValueError):
        return False
