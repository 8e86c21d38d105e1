"""A pseudo-terminal fed by a writer thread, for tests and workloads."""

import contextlib
import os
import select
import threading
import tty


class StreamingPty:
    """A pseudo-terminal whose master a writer thread keeps feeding with
    `stream` over and over, whole packets only, as fast as the far side
    takes them. The slave stays open here: no reader ever sees a hang-up."""

    def __init__(self, stream: bytes):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        self._stream = stream
        self._stop = threading.Event()
        self._writer = threading.Thread(target=self._feed, daemon=True)
        self._writer.start()

    def _feed(self):
        view = memoryview(self._stream)
        while not self._stop.is_set():
            if not select.select([], [self.master], [], 0.02)[1]:
                continue
            with contextlib.suppress(BlockingIOError):
                view = view[os.write(self.master, view) :] or memoryview(self._stream)

    def close(self):
        self._stop.set()
        self._writer.join()
        os.close(self.master)
        os.close(self.slave)
