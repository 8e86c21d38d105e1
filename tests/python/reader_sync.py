"""Waiting on a background reader without guessing at delays: what the
tests know for certain about a reader on a pseudo-terminal."""

import fcntl
import os
import select
import sys
import termios
import time

from mip import SENSOR, acc, packet

MARKER = -1.0


def counted(n: float) -> bytes:
    return packet(SENSOR, acc(float(n), 0.0, 0.0))


def xs(items):
    """The counter of each taken item; None for an empty snapshot."""
    return [snap["ScaledAccVector"]["x"] if snap else None for _, snap in items]


def without_markers(items):
    return [item for item in items if xs([item]) != [MARKER]]


def wait_for(predicate, timeout=60.0):
    """Whether `predicate` came to hold. The bound is generous: a busy
    machine only makes a passing test slower, a fault still fails."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def unread(fd: int) -> int:
    """Bytes waiting in the terminal's input queue. Polling first makes the
    kernel hand over what the far end wrote but it has not yet delivered.
    Only sound for small writes: a large one reaches the queue in pieces."""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.poll(0)
    buf = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, buf)
    return int.from_bytes(buf, sys.byteorder)


def knock(master: int, client, patience=0.25) -> list:
    """Sends marker packets until the reader queues one: from then on it
    holds the device and its opening flush is behind it. Returns what it
    took; a marker answered late may still arrive after it returns."""
    got = []

    def answered():
        os.write(master, counted(MARKER))
        return wait_for(lambda: got.extend(client.take()) or got, patience)

    assert wait_for(answered)
    return got
