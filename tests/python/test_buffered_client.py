"""BufferedAHRSClient: a real reader thread on a real pseudo-terminal."""
import os
import time

import pytest
import tavrin_ahrs_driver as m

from conftest import run_python
from mip import SENSOR, acc, packet
from reader_sync import knock, without_markers

ACC = {"x": 1.0, "y": 2.0, "z": 3.0}


def packet_n(i):
    return packet(SENSOR, acc(float(i), 0.0, 0.0))


def take_until(client, count, timeout=10.0):
    """Items other than markers, until `count` of them have come."""
    items, deadline = [], time.monotonic() + timeout
    while len(items) < count and time.monotonic() < deadline:
        items += without_markers(client.take())
        time.sleep(0.005)
    return items


def test_items_are_stamped_snapshots_in_order(pty):
    client = m.BufferedAHRSClient(pty.path, 115200, 16, False)
    knock(pty.master, client)  # the reader's opening flush is behind it
    pty.send(b"".join(packet_n(i) for i in range(5)))
    items = take_until(client, 5)
    assert [type(x) for x in items[0]] == [int, dict]
    assert [snap["ScaledAccVector"]["x"] for _, snap in items] == [0.0, 1.0, 2.0, 3.0, 4.0]
    now_ms = time.time() * 1000
    assert all(now_ms - 5000 < stamp <= now_ms + 5 for stamp, _ in items)
    assert [s for s, _ in items] == sorted(s for s, _ in items)
    assert client.take() == []


def test_full_queue_holds_exactly_its_capacity_oldest_first(pty):
    client = m.BufferedAHRSClient(pty.path, 115200, 3, False)
    knock(pty.master, client)
    pty.send(b"".join(packet_n(i) for i in range(6)))
    time.sleep(0.3)
    first = without_markers(client.take())
    assert [snap["ScaledAccVector"]["x"] for _, snap in first] == [0.0, 1.0, 2.0]
    rest = take_until(client, 3)
    assert [snap["ScaledAccVector"]["x"] for _, snap in rest] == [3.0, 4.0, 5.0]


def test_zero_capacity_hands_over_one_item_at_a_time(pty):
    client = m.BufferedAHRSClient(pty.path, 115200, 0, False)
    knock(pty.master, client)
    pty.send(b"".join(packet_n(i) for i in range(3)))
    got = []
    deadline = time.monotonic() + 10
    while len(got) < 3 and time.monotonic() < deadline:
        batch = client.take()
        assert len(batch) <= 1
        got += without_markers(batch)
        time.sleep(0.01)
    assert [snap["ScaledAccVector"]["x"] for _, snap in got] == [0.0, 1.0, 2.0]


def test_missing_device_reports_once_and_takes_nothing():
    res = run_python(
        """
        import time, tavrin_ahrs_driver as m
        c = m.BufferedAHRSClient('/dev/does-not-exist', 9600, 4, False)
        time.sleep(0.3)
        assert c.take() == [] and c.take() == []
        print('ok')
        """
    )
    assert res.rc == 0, res.err
    assert res.out == "ok\n"
    assert res.err.count("Failed to open port: AHRSError { error: ") == 1
    assert "NotFound" in res.err


def test_delete_releases_the_device_at_once(pty):
    for _ in range(3):
        client = m.BufferedAHRSClient(pty.path, 115200, 4, False)
        time.sleep(0.05)
        start = time.monotonic()
        del client
        assert time.monotonic() - start < 0.09  # no read time-out waited out
        other = m.AHRSClient()
        other.open(pty.path, 115200)  # would fail while the reader held it
        del other


def test_hang_up_ends_the_reader_and_keeps_queued_items():
    res = run_python(
        """
        import os, tty, tavrin_ahrs_driver as m
        import sys; sys.path.insert(0, 'tests/python')
        from mip import SENSOR, acc, packet
        from reader_sync import knock, threads, unread, wait_for, without_markers
        master, slave = os.openpty(); tty.setraw(master)
        before = threads()
        c = m.BufferedAHRSClient(os.ttyname(slave), 115200, 8, True)
        knock(master, c)
        os.write(master, packet(SENSOR, acc()) * 2)
        assert wait_for(lambda: unread(slave) == 0)
        os.close(master)
        assert wait_for(lambda: threads() == before)
        items = without_markers(c.take())
        print(len(items), items[0][1]['type'])
        """
    )
    assert res.rc == 0, res.err
    assert res.out == "2 sensor\n"
    assert res.err.count("Device disconnected: AHRSError { error: ") == 1


@pytest.mark.parametrize("verbose, reported", [("numpy.bool_(True)", True), ("False", False)])
def test_verbose_reports_failed_attempts_only_when_asked(verbose, reported):
    res = run_python(
        f"""
        import os, time, numpy, tavrin_ahrs_driver as m
        master, slave = os.openpty()
        c = m.BufferedAHRSClient(os.ttyname(slave), 9600, 4, {verbose})
        time.sleep(0.35)
        """
    )
    assert res.rc == 0, res.err
    assert res.err.count("IOERR: Operation timed out") >= 2
    assert ("Error parsing packet: AHRSError { error: " in res.err) is reported


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (("/dev/null", 9600, 4, 1), TypeError, "argument 'verbose' must be bool"),
        (("/dev/null", 9600, -1, False), OverflowError, "negative"),
        (("/dev/null", 9600, 2**64, False), OverflowError, "too big"),
        (("/dev/null", -1, 4, False), OverflowError, "out of range integral type conversion attempted"),
        (("/dev/null", 9600, "4", False), TypeError, "argument 'buffer_size' must be int"),
        (("/dev/null", 9600, 4), TypeError, "missing required argument 'verbose'"),
    ],
)
def test_constructor_argument_errors(args, exc, text):
    with pytest.raises(exc, match=text):
        m.BufferedAHRSClient(*args)


def test_absurd_buffer_size_is_a_memory_error():
    with pytest.raises(MemoryError):
        m.BufferedAHRSClient("/dev/null", 9600, 2**62, False)


def test_keywords_are_accepted(pty):
    client = m.BufferedAHRSClient(serial_device=pty.path, baud_rate=9600, buffer_size=1, verbose=False)
    assert client.take() == []


def test_exit_with_a_reader_running_is_clean(pty):
    for _ in range(5):
        res = run_python(
            f"""
            import tavrin_ahrs_driver as m
            c = m.BufferedAHRSClient({pty.path!r}, 9600, 4, False)
            keep = [m.BufferedAHRSClient('/dev/null', 9600, 0, False)]
            """
        )
        assert res.rc == 0, res.err
