"""Where the driver meets the process around it: forked children, a standard
error that takes nothing, standard descriptors closed at start, and memory
that runs out. Each case runs in its own interpreter, on real processes,
pipes and pseudo-terminals; a hang shows as the subprocess's time-out."""

import textwrap

import pytest
from conftest import ASAN_HEAP, run_python

# The scripts play the sensor on fresh pseudo-terminals.
PTY_HELPERS = """
    import os, sys, time, tty
    import tavrin_ahrs_driver as m
    from reader_sync import MARKER, counted, knock, unread, wait_for, without_markers, xs

    def say(*what):
        os.write(1, (" ".join(map(str, what)) + "\\n").encode())

    def fresh_pty():
        master, slave = os.openpty()
        tty.setraw(master)
        return master, os.ttyname(slave)

    def stream(first, last):
        os.write(master, b"".join(counted(n) for n in range(first, last)))

    master, path = fresh_pty()
"""


def script(body: str, buffer=100_000) -> str:
    """A reader on the script's terminal, past its opening flush, then `body`."""
    reader = f"""
    reader = m.BufferedAHRSClient(path, 115200, {buffer}, False)
    knock(master, reader)
"""
    return PTY_HELPERS + reader + aligned(body)


def aligned(body: str) -> str:
    return textwrap.indent(textwrap.dedent(body), "    ")


# --- fork() with a reader alive -----------------------------------------------------

# What the child does with its inherited reader before it is told to end.
CHILD_ACTIONS = {
    "destroys it": "del reader",
    "takes from it": "say('child took', reader.take())",
    "starts its own reader, then destroys the inherited one": """
        own_master, own_path = fresh_pty()
        own = m.BufferedAHRSClient(own_path, 115200, 10, False)
        say('child reader', bool(knock(own_master, own)))
        del reader
        del own
    """,
}

# How the child ends: at once, or through the interpreter's own shutdown,
# which destroys whatever the child still holds.
CHILD_ENDINGS = {"os._exit": "os._exit(0)", "sys.exit": "sys.exit(0)"}

FORK = """
    import textwrap
    go_read, go_write = os.pipe()
    stream(0, 500)  # the reader is busy with its queue while the fork lands
    pid = os.fork()
    if pid == 0:
        os.close(go_write)  # a parent that fails ends the child too
        exec(textwrap.dedent(ACTION))
        os.read(go_read, 1)  # still running while the parent goes on
        ENDING
    items = []
    stream(500, 1000)
    assert wait_for(lambda: items.extend(without_markers(reader.take())) or len(items) >= 1000)
    say('parent got', xs(items) == [float(n) for n in range(1000)])
    del reader
    # The child still runs and still holds its copy of the object.
    client = m.AHRSClient()
    client.open(path, 115200)
    say('parent reopened')
    os.write(go_write, b"x")
    say('parent saw the child end with', os.waitpid(pid, 0)[1])
"""


@pytest.mark.skipif(
    bool(ASAN_HEAP), reason="the sanitizer's allocator is not fork-safe: a child may find its lock held by the reader"
)
@pytest.mark.parametrize("ending", CHILD_ENDINGS)
@pytest.mark.parametrize("action", CHILD_ACTIONS)
def test_forked_child_leaves_the_parents_reader_and_device_alone(action, ending):
    body = FORK.replace("ACTION", repr(CHILD_ACTIONS[action])).replace("ENDING", CHILD_ENDINGS[ending])
    res = run_python(script(body), timeout=30)
    assert res.rc == 0, res.err
    lines = res.out.splitlines()
    parent = [line for line in lines if line.startswith("parent")]
    assert parent == ["parent got True", "parent reopened", "parent saw the child end with 0"], res.out + res.err
    if action == "takes from it":
        assert "child took []" in lines
    if action.startswith("starts"):
        assert "child reader True" in lines
    assert "Failed" not in res.err


def test_inherited_sync_client_reads_its_device_as_hung_up_and_the_parent_reads_on():
    res = run_python(
        """
        import os, tty
        import tavrin_ahrs_driver as m
        from reader_sync import counted
        master, slave = os.openpty(); tty.setraw(master)
        client = m.AHRSClient(); client.open(os.ttyname(slave), 115200); client.start_stream()
        os.write(master, counted(1))
        pid = os.fork()
        if pid == 0:
            try:
                client.read_packet()
            except ValueError as e:
                os.write(1, f"child {e}\\n".encode())
            os._exit(0)
        os.waitpid(pid, 0)
        print("parent", client.read()["ScaledAccVector"]["x"])
        """,
        timeout=30,
    )
    assert res.rc == 0, res.err
    assert res.out.splitlines() == [
        'child AHRSError: IOError: Os { code: 5, kind: Uncategorized, message: "Input/output error" }',
        "parent 1.0",
    ]


# --- a standard error that takes nothing ----------------------------------------------

# Descriptor 2 takes nothing more: a pipe that is already full and that
# nobody reads, or a terminal whose output is paused (Ctrl-S).
FULL_PIPE = """
    drain, full = os.pipe()
    os.set_blocking(full, False)
    try:
        while True:
            os.write(full, b"." * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(full, BLOCKING)
    os.dup2(full, 2)
"""
PAUSED_TERMINAL = """
    import termios
    paused_master, paused = os.openpty()
    termios.tcflow(paused, termios.TCOOFF)
    os.dup2(paused, 2)
"""
BLOCKED = {"full pipe": FULL_PIPE.replace("BLOCKING", "True"), "paused terminal": PAUSED_TERMINAL}


def blocked_stderr_script(setup: str, body: str) -> str:
    # The reader is made after descriptor 2 blocks: a silent device gives it
    # a diagnostic line every 100 ms, and the first one finds no room.
    return PTY_HELPERS + setup + "    reader = m.BufferedAHRSClient(path, 115200, 10, True)\n" + aligned(body)


# How the reader, stuck on its diagnostic, is stopped.
STOPS = {
    "del": "time.sleep(0.5); del reader; say('deleted')",
    "interpreter exit": "time.sleep(0.5); say('exiting')",
}


@pytest.mark.parametrize("stop", STOPS)
@pytest.mark.parametrize("blocked", BLOCKED)
def test_reader_stuck_on_a_blocked_stderr_still_stops(blocked, stop):
    res = run_python(blocked_stderr_script(BLOCKED[blocked], STOPS[stop]), timeout=30)
    assert res.rc == 0
    assert res.out.splitlines()[-1] in ("deleted", "exiting")


def test_reader_waits_out_a_non_blocking_full_stderr_and_loses_no_line():
    # A silent device's two lines, with verbose set, each whole.
    timed_out = r"IOError: Custom { kind: TimedOut, error: \"Operation timed out\" }"
    whole = ["IOERR: Operation timed out", f'Error parsing packet: AHRSError {{ error: "{timed_out}" }}']
    body = (
        f"        WHOLE_LINES = {whole!r}\n"
        + """
        time.sleep(0.5)  # lines pile up behind the full pipe
        os.set_blocking(drain, False)
        text = b""
        def drained():
            global text
            try:
                text += os.read(drain, 1 << 16)
            except BlockingIOError:
                pass
            return text.lstrip(b".").count(b"IOERR: ") >= 4
        assert wait_for(drained)
        items = knock(master, reader)
        stream(0, 3)
        assert wait_for(lambda: items.extend(without_markers(reader.take())) or len(items) >= 3)
        say('reader delivered', xs(without_markers(items)))
        lines = text.lstrip(b".").decode().splitlines()[:-1]  # the last may be on its way
        say('lines whole', all(line in WHOLE_LINES for line in lines))
    """
    )
    res = run_python(blocked_stderr_script(FULL_PIPE.replace("BLOCKING", "False"), body), timeout=30)
    assert res.rc == 0, res.err
    assert res.out.splitlines() == ["reader delivered [0.0, 1.0, 2.0]", "lines whole True"], res.out


# --- standard descriptors closed at start ----------------------------------------------

CLOSED_AT_START = """
    import os, tty
    import tavrin_ahrs_driver as m
    from reader_sync import counted, unread, wait_for
    from streaming_pty import StreamingPty

    master, slave = os.openpty(); tty.setraw(master)
    path = os.ttyname(slave)
    streaming = StreamingPty(b"".join(counted(n) for n in range(16)))
    recording = "REC"
    with open(recording, "wb") as f:
        f.write(counted(7))
    report = os.dup(1)
    for fd in CLOSED:
        os.close(fd)

    def left_closed():
        for fd in CLOSED:
            try:
                os.fstat(fd)
                return False
            except OSError:
                pass
        return True

    def say(*what):
        os.write(report, (" ".join(map(str, what)) + "\\n").encode())

    client = m.AHRSClient(); client.open(path, 115200); client.start_stream()
    try:
        client.read()  # a silent device: its diagnostic cannot be written
    except BaseException as e:
        failure = type(e).__name__
    say('device', failure, left_closed(), unread(master))
    files = m.AHRSClient(); files.open_file(recording)
    say('file', left_closed())
    reader = m.BufferedAHRSClient(streaming.path, 115200, 4, False)
    assert wait_for(reader.take)
    say('reader', left_closed())
"""


@pytest.mark.parametrize("closed", [(2,), (0, 1, 2)], ids=["stderr", "all three"])
def test_nothing_the_driver_opens_takes_a_standard_descriptor(closed, tmp_path):
    code = CLOSED_AT_START.replace("CLOSED", repr(closed)).replace("REC", str(tmp_path / "rec.bin"))
    res = run_python(code, timeout=30)
    assert res.rc == 0, res.err
    # Nothing reached the sensor's line, and every closed descriptor stayed closed.
    assert res.out.splitlines() == ["device PanicException True 0", "file True", "reader True"]


# --- memory that runs out ------------------------------------------------------------

# The Python allocation, counted from the start of take(), that fails first.
STARVED_TAKE = """
    import _testcapi
    stream(0, 300)
    probe = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    assert wait_for(lambda: unread(probe) == 0)  # the reader has taken in what it was sent
    # Read in is not yet queued on a busy machine: a starved take() that
    # found nothing (or too little to fail) is tried again, keeping what it gave.
    items, failed, deadline = [], False, time.monotonic() + 30
    while not failed and time.monotonic() < deadline:
        _testcapi.set_nomemory(FAIL_AT)
        try:
            got = reader.take()
        except MemoryError:
            failed = True
        finally:
            _testcapi.remove_mem_hooks()
        if not failed:
            items.extend(without_markers(got))
            time.sleep(0.01)
    stream(300, 400)
    assert wait_for(lambda: items.extend(without_markers(reader.take())) or len(items) >= 400)
    say(failed, xs(items) == [float(n) for n in range(400)])
"""


@pytest.mark.parametrize("fail_at", [0, 1, 100])
def test_items_drained_by_a_failed_take_come_first_next_time(fail_at):
    res = run_python(script(STARVED_TAKE.replace("FAIL_AT", str(fail_at))), timeout=30)
    assert res.rc == 0, res.err
    assert res.out.splitlines() == ["True True"], res.out + res.err


@pytest.mark.skipif(bool(ASAN_HEAP), reason="the sanitizer's allocator reserves its address space at start")
def test_reader_that_runs_out_of_memory_ends_with_a_report_and_its_items_stay():
    # One malloc arena for every thread, so the address-space limit binds the
    # reader's allocations as well as the interpreter's.
    res = run_python(
        """
        import os, resource
        import tavrin_ahrs_driver as m
        from reader_sync import counted, wait_for, xs
        from streaming_pty import StreamingPty

        device = StreamingPty(b"".join(counted(n) for n in range(64)))
        before = set(os.listdir("/proc/self/task"))
        reader = m.BufferedAHRSClient(device.path, 115200, 1_000_000, False)
        assert wait_for(reader.take)
        [tid] = set(os.listdir("/proc/self/task")) - before
        # Looked at without allocating much: the limit binds this thread too.
        running = f"/proc/self/task/{tid}"
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + (8 << 20), hard))
        ended = wait_for(lambda: not os.path.exists(running), timeout=60)
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        got = xs(reader.take())
        in_order = all((a + 1) % 64 == b for a, b in zip(got, got[1:]))
        print(ended, len(got) > 1000, in_order, reader.take())
        """,
        timeout=120,
        env={"MALLOC_ARENA_MAX": "1"},
    )
    assert res.rc == 0, res.err
    assert res.out.splitlines() == ["True True True []"]
    assert "reader thread stopped: out of memory" in res.err
