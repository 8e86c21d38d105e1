"""The live baseline: a plain pure-Python buffered reader.

What a Python user would write without the module: a thread that reads the
terminal, finds packets (sync bytes, length, checksum), decodes them with the
pure-Python decoder into the same snapshot dicts, and queues them with a
time stamp for the main thread to take.
"""

import collections
import os
import select
import termios
import threading
import time
import tty

import pure_python_decoder as ppd

SYNC = ppd.SYNC
POLL_SECONDS = 0.1


class PurePythonReader:
    """Same surface as BufferedAHRSClient: construct, take(), close()."""

    def __init__(self, path, buffer_size=1000):
        self._fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self._fd)
        termios.tcflush(self._fd, termios.TCIOFLUSH)
        self._queue = collections.deque()
        self._space = threading.Semaphore(buffer_size)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    @property
    def native_id(self):
        return self._thread.native_id

    def take(self):
        items = []
        queue = self._queue
        while queue:
            items.append(queue.popleft())
            self._space.release()
        return items

    def close(self):
        self._stop.set()
        for _ in range(len(self._queue) + 1):
            self._space.release()
        self._thread.join()
        os.close(self._fd)

    def _run(self):
        pending = b""
        while not self._stop.is_set():
            ready, _, _ = select.select([self._fd], [], [], POLL_SECONDS)
            if not ready:
                continue
            try:
                data = os.read(self._fd, 4096)
            except OSError:
                return  # the far end closed
            if not data:
                return
            pending = self._packets(pending + data)

    def _packets(self, data):
        """Queues every whole packet in `data`; returns the unused tail."""
        at = 0
        while True:
            at = data.find(SYNC, at)
            if at < 0:
                return data[-1:] if data.endswith(SYNC[:1]) else b""
            if len(data) - at < 4:
                return data[at:]
            end = at + data[at + 3] + 6
            if len(data) < end:
                return data[at:]
            packet = data[at:end]
            if ppd.checksum(packet[:-2]) != int.from_bytes(packet[-2:], "big"):
                at += 1
                continue
            snapshot = ppd.snapshot(ppd.decode_payload(packet[2], packet[4:-2]))
            self._space.acquire()
            if self._stop.is_set():
                return b""
            self._queue.append((int(time.time() * 1000), snapshot))
            at = end
