"""Fault runs: a far end that hangs up mid-stream, readers created and
destroyed by the thousand, processes that exit with readers running, and
files of random bytes. Real pseudo-terminals, real threads, real files."""

import gc
import os
import random
import signal
import struct
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from conftest import memory_in_use, run_python
from mip import ESTIMATE, SENSOR, packet
from reader_sync import MARKER, counted, knock, threads, unread, wait_for, without_markers, xs
from records import RECORDS
from streaming_pty import StreamingPty

import tavrin_ahrs_driver as m

EIO_TEXT = 'AHRSError: IOError: Os { code: 5, kind: Uncategorized, message: "Input/output error" }'
EIO_LINE = "Input/output error (os error 5)"
END_OF_DATA = "failed to fill whole buffer"


def python_objects() -> int:
    gc.collect()
    return len(gc.get_objects())


@pytest.fixture
def streaming_pty():
    p = StreamingPty(b"".join(counted(n) for n in range(64)))
    yield p
    p.close()


# --- the far end hangs up mid-stream ---------------------------------------------


def test_sync_client_after_hang_up_returns_empty_and_raises_the_os_error():
    # In a subprocess: a crash or a hang fails this test, not the whole run.
    res = run_python(
        """
        import os, tty
        import tavrin_ahrs_driver as m
        from reader_sync import counted
        master, slave = os.openpty(); tty.setraw(master)
        c = m.AHRSClient(); c.open(os.ttyname(slave), 115200); c.start_stream()
        whole = [counted(n) for n in range(4)]
        os.write(master, b"".join(whole[:3]) + whole[3][:9])
        print([c.read()["ScaledAccVector"]["x"] for _ in range(3)])
        os.close(master)
        for _ in range(3):
            print(c.read())
            try:
                c.read_packet()
            except ValueError as e:
                print(e.args)
        """,
        timeout=30,
    )
    assert res.rc == 0, res.err
    assert res.out.splitlines() == ["[0.0, 1.0, 2.0]"] + ["{}", repr((EIO_TEXT,))] * 3
    # The packet cut short fails inside its frame; every later attempt meets
    # the dead line at once.
    first, rest = res.err.split("\nIOERR: ", 1)
    assert first.startswith("Error parsing packet: ") and EIO_LINE in first
    assert "IOERR: " + rest == f"IOERR: {EIO_LINE}\n" * 5


def test_reading_a_hung_up_device_in_a_loop_waits_instead_of_spinning():
    # Each attempt after the hang-up first waits out a read's time-out, so a
    # careless loop costs next to no CPU and prints some ten lines a second
    # (it used to manage hundreds of thousands).
    res = run_python(
        """
        import os, time, tty
        import tavrin_ahrs_driver as m
        master, slave = os.openpty(); tty.setraw(master)
        c = m.AHRSClient(); c.open(os.ttyname(slave), 115200); c.start_stream()
        os.close(master)
        calls, wall, cpu = 0, time.monotonic(), time.process_time()
        while time.monotonic() - wall < 1.0:
            assert c.read() == {}
            calls += 1
        print(calls, time.process_time() - cpu, time.monotonic() - wall)
        """,
        timeout=30,
    )
    assert res.rc == 0, res.err
    calls, cpu, wall = res.out.split()
    assert 1 <= int(calls) <= 30
    assert float(cpu) < float(wall) / 2
    assert res.err == f"IOERR: {EIO_LINE}\n" * int(calls)


@pytest.mark.parametrize("verbose", [False, True])
def test_buffered_reader_ends_on_hang_up_mid_stream_and_keeps_its_queue(pty, fd_capture, verbose):
    count = 150
    before = threads()
    with fd_capture() as cap:
        client = m.BufferedAHRSClient(pty.path, 115200, count + 50, verbose)
        items = knock(pty.master, client)
        pty.send(b"".join(counted(n) for n in range(count)))
        # A hang-up discards what the terminal still holds, and its input
        # queue can look empty while more is on the way: wait for the packets.
        assert wait_for(lambda: items.extend(client.take()) or xs(items)[-1] == count - 1)
        pty.send(counted(count)[:11])
        assert wait_for(lambda: unread(pty.slave) == 0)  # every byte is with the reader
        os.close(pty.master)
        pty.master = -1
        assert wait_for(lambda: threads() == before)  # and the reader has ended
        items += client.take()
        again = client.take()
    got = xs(items)
    # The packet cut short ends as a failed attempt: an empty snapshot.
    assert got == [MARKER] * (len(got) - count - 1) + [float(n) for n in range(count)] + [None]
    assert again == []
    assert cap.err.count("Device disconnected: AHRSError { error: ") == 1
    assert 'Device disconnected: AHRSError { error: "IOError: Os { code: 5' in cap.err
    # Reported once, as the end of the reader, never as a failed attempt.
    assert 'Error parsing packet: AHRSError { error: "IOError: Os' not in cap.err
    assert "Failed to send reading" not in cap.err


# --- a sender stopped mid-packet -------------------------------------------------------


def test_a_sender_stopped_and_resumed_mid_packet_loses_nothing(pty, fd_capture):
    # The sender writes in 7-byte pieces, so each stop (far longer than a
    # read's time-out) almost always falls inside a packet.
    count = 400
    with fd_capture():
        client = m.BufferedAHRSClient(pty.path, 115200, 2 * count, False)
        items = knock(pty.master, client)
        sender = subprocess.Popen(
            [sys.executable, "-c", SEND_IN_PIECES, str(pty.master), str(count)],
            pass_fds=[pty.master],
            env={**os.environ, "PYTHONPATH": str(Path(__file__).parent)},
        )
        try:
            for _ in range(5):
                time.sleep(0.1)
                sender.send_signal(signal.SIGSTOP)
                time.sleep(0.3)
                sender.send_signal(signal.SIGCONT)
            assert sender.wait(timeout=60) == 0
        finally:
            sender.kill()
        assert wait_for(lambda: items.extend(client.take()) or count - 1 in xs(items))  # noqa: F821 (runs before the del)
        del client
    assert [x for x in xs(without_markers(items)) if x is not None] == [float(n) for n in range(count)]


SEND_IN_PIECES = """
import os, sys, time
from reader_sync import counted
fd, count = int(sys.argv[1]), int(sys.argv[2])
stream = b"".join(counted(n) for n in range(count))
for at in range(0, len(stream), 7):
    os.write(fd, stream[at:at + 7])
    time.sleep(0.001)
"""


# --- readers created and destroyed by the thousand ----------------------------------


def cycle(path: str, wait_for_item: bool):
    client = m.BufferedAHRSClient(path, 115200, 4, False)
    if wait_for_item:
        assert wait_for(lambda: client.take())  # noqa: F821 (runs before the del)
    else:
        client.take()
    del client


def test_a_thousand_readers_on_a_streaming_device_leave_nothing_behind(streaming_pty, fd_capture):
    with fd_capture() as cap:
        for i in range(100):  # warm up: allocator arenas, thread stack cache
            cycle(streaming_pty.path, i % 20 == 0)
        tasks, objects, memory = threads(), python_objects(), memory_in_use()
        for i in range(1000):
            cycle(streaming_pty.path, i % 50 == 0)
        grown = memory_in_use() - memory
        # A joined thread can stay listed for a moment after its join; one
        # that was never stopped stays for good.
        assert wait_for(lambda: threads() == tasks, timeout=10), threads()
        assert python_objects() - objects < 100
    assert grown < 1024 * 1024, f"grew by {grown} bytes"
    # Each reader let go of the device before the next one opened it, and
    # none of these ordinary stops was reported.
    assert "Failed" not in cap.err


# --- processes that exit with readers running ----------------------------------------

EXIT_WITH_READERS = """
    import os, sys, threading, time, types
    import tavrin_ahrs_driver as m
    from reader_sync import counted
    from streaming_pty import StreamingPty

    STREAM = b"".join(counted(n) for n in range(64))

    def streaming_device():
        return StreamingPty(STREAM).path

    # Destroyed while the interpreter shuts down: a library module's global.
    lib = types.ModuleType("lib")
    sys.modules["lib"] = lib
    lib.drained = m.BufferedAHRSClient(streaming_device(), 115200, 1000, False)
    # Never destroyed: a parked daemon thread holds them, so their readers
    # (one blocked on a full queue, one timing out on a silent line) still
    # run while the process exits.
    parked = (
        m.BufferedAHRSClient(streaming_device(), 115200, 1, False),
        m.BufferedAHRSClient(os.ttyname(os.openpty()[1]), 115200, 4, True),
    )
    threading.Thread(target=lambda held=parked: threading.Event().wait(), daemon=True).start()
    del parked
    while not lib.drained.take():
        time.sleep(0.001)
    """


def exit_with_readers(_):
    res = run_python(EXIT_WITH_READERS)
    return res.rc, res.err


def test_exiting_with_readers_running_exits_cleanly_fifty_times():
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(exit_with_readers, range(50)))
    failures = [(rc, err) for rc, err in results if rc != 0 or "Failed" in err or "disconnected" in err]
    assert not failures, failures[:3]


# --- files of random bytes --------------------------------------------------------

SIZE = 1 << 20
OTHER_SETS = (0x01, 0x0C, 0x0D, 0x0E, 0x0F, 0x7F, 0x81, 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0xA0)


def random_bytes(rng: random.Random) -> bytes:
    return rng.randbytes(SIZE)


def random_packets(rng: random.Random) -> bytes:
    """Well-framed packets with valid checksums around random payloads: mostly
    catalogued fields of the right length holding random bytes (NaNs,
    infinities, huge values and all), some fields of any descriptor and
    length, and now and then a foreign descriptor set."""
    out = bytearray()
    while len(out) < SIZE:
        dset = rng.choice((SENSOR, ESTIMATE) * 4 + OTHER_SETS)
        known = [(d, struct.calcsize(">" + fmt)) for s, d, _, _, fmt in RECORDS if s == dset]
        payload = bytearray()
        for _ in range(rng.randrange(8)):
            desc, size = rng.choice(known) if known and rng.random() < 0.8 else (rng.randrange(256), rng.randrange(60))
            payload += bytes([size + 2, desc]) + rng.randbytes(size)
        out += packet(dset, bytes(payload[:255]))
    return bytes(out)


@pytest.fixture(scope="module", params=[random_bytes, random_packets])
def random_file(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("random") / f"{request.param.__name__}.bin"
    path.write_bytes(request.param(random.Random(20240611)))
    return path


def framed(path: Path) -> bool:
    return path.stem == "random_packets"


def frames(data: bytes) -> int:
    count = at = 0
    while at < len(data):
        at += data[at + 3] + 6
        count += 1
    return count


def test_random_file_through_parse_data_stream(random_file, fd_capture):
    with fd_capture() as cap:
        assert m.parse_data_stream_py(str(random_file)) is None
    closing = ("End of file: ", "Error parsing packet from file: ")
    assert cap.err.startswith(closing) and sum(map(cap.err.count, closing)) == 1
    if framed(random_file):  # every packet decoded and printed, to the end
        assert cap.err == f"End of file: {END_OF_DATA}\n"
        assert cap.out.count("\n") == frames(random_file.read_bytes())


def test_random_file_through_the_client_to_the_end(random_file, fd_capture):
    client = m.AHRSClient()
    client.open_file(str(random_file))
    objects = python_objects()
    decoded = 0
    with fd_capture() as cap:
        # Every attempt moves on by a byte at least, so the file's size bounds
        # the attempts; the end shows as the end-of-data error.
        for _ in range(random_file.stat().st_size + 1):
            decoded += bool(client.read())
            try:
                decoded += bool(client.read_packet())
            except ValueError as e:
                end = e.args[0]
                break
        else:
            pytest.fail("never reached the end of the data")
        assert client.read() == {}
    assert END_OF_DATA in end
    assert cap.err.endswith(f"IOERR: {END_OF_DATA}\n" * 2)
    assert python_objects() - objects < 100
    if framed(random_file):
        assert decoded > 1000
