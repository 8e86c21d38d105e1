"""BufferedAHRSClient: a real reader thread on a real pseudo-terminal."""

import time

import pytest
from conftest import run_python
from reader_sync import counted, knock, wait_for, without_markers, xs

import tavrin_ahrs_driver as m


def take_until(client, count):
    """Items other than markers, until `count` of them have come."""
    items = []
    wait_for(lambda: items.extend(without_markers(client.take())) or len(items) >= count)
    return items


def test_items_are_stamped_snapshots_in_order(pty):
    client = m.BufferedAHRSClient(pty.path, 115200, 16, False)
    knock(pty.master, client)  # the reader's opening flush is behind it
    pty.send(b"".join(counted(i) for i in range(5)))
    items = take_until(client, 5)
    assert [type(x) for x in items[0]] == [int, dict]
    assert xs(items) == [0.0, 1.0, 2.0, 3.0, 4.0]
    now_ms = time.time() * 1000
    assert all(now_ms - 5000 < stamp <= now_ms + 5 for stamp, _ in items)
    assert [s for s, _ in items] == sorted(s for s, _ in items)
    assert client.take() == []


def test_full_queue_holds_exactly_its_capacity_oldest_first(pty):
    client = m.BufferedAHRSClient(pty.path, 115200, 3, False)
    knock(pty.master, client)
    pty.send(b"".join(counted(i) for i in range(6)))
    time.sleep(0.3)
    first = without_markers(client.take())
    assert xs(first) == [0.0, 1.0, 2.0]
    rest = take_until(client, 3)
    assert xs(rest) == [3.0, 4.0, 5.0]


def test_zero_capacity_hands_over_one_item_at_a_time(pty):
    client = m.BufferedAHRSClient(pty.path, 115200, 0, False)
    knock(pty.master, client)
    pty.send(b"".join(counted(i) for i in range(3)))
    got, sizes = [], []

    def take():
        batch = client.take()
        sizes.append(len(batch))
        got.extend(without_markers(batch))
        return len(got) >= 3

    assert wait_for(take)
    assert max(sizes) <= 1
    assert xs(got) == [0.0, 1.0, 2.0]


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
    took = []
    for _ in range(5):
        client = m.BufferedAHRSClient(pty.path, 115200, 4, False)
        knock(pty.master, client)  # reading, past its opening flush
        start = time.monotonic()
        del client
        took.append(time.monotonic() - start)
        other = m.AHRSClient()
        other.open(pty.path, 115200)  # would fail while the reader held it
        del other
    # A delete that waits out a read's time-out never takes less; a busy
    # machine may slow some of them, not all.
    assert min(took) < 0.09, took


@pytest.mark.parametrize("verbose, reported", [("numpy.bool_(True)", True), ("False", False)])
def test_verbose_reports_failed_attempts_only_when_asked(verbose, reported):
    res = run_python(
        f"""
        import os, numpy, tavrin_ahrs_driver as m
        # Descriptor 2 into a pipe while the reader runs, so that this waits
        # for its second failed attempt rather than for a time.
        read_end, write_end = os.pipe()
        saved = os.dup(2)
        os.dup2(write_end, 2)
        master, slave = os.openpty()
        c = m.BufferedAHRSClient(os.ttyname(slave), 9600, 4, {verbose})
        said = b""
        while said.count(b"IOERR: ") < 2:
            said += os.read(read_end, 4096)
        del c
        os.dup2(saved, 2)
        os.write(2, said)
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
