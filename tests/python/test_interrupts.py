"""Ctrl-C in every blocking call. Each call runs in a child process that
holds the interpreter lock while it blocks, so the signal comes from this
process, as a terminal's Ctrl-C would. A handler that raises ends the call
with its exception; a handler that does not leaves the call to finish."""

import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from conftest import HERE
from mip import SENSOR, acc, packet

PACKET = packet(SENSOR, acc(1.0, 2.0, 3.0))
SNAPSHOT = "{'type': 'sensor', 'ScaledAccVector': {'x': 1.0, 'y': 2.0, 'z': 3.0}}"
LINE = "[Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })]"
# Long enough to be parsing still when the signal comes.
LARGE_FILE_PACKETS = 2_000_000

CHILD = """
    import os, signal, sys
    import tavrin_ahrs_driver as m

    hits = []
    def raise_once(*_):
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # later signals find nothing to do
        raise KeyboardInterrupt
    signal.signal(signal.SIGINT, raise_once if {raising} else lambda *_: hits.append(1))

    def quiet(call, *args):
        saved = os.dup(1)
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        try:
            return call(*args)
        finally:
            os.dup2(saved, 1)

    path = {path!r}
    c = m.AHRSClient()
    {before}
    print("calling", flush=True)
    try:
        result = {call}
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)  # before what the driver writes to descriptor 1 next
        print("after", c.read())  # the client is as the call left it
    else:
        print("returned", result)
    print("handled", bool(hits))
"""

# name: (what the child does before and in the call; whether the FIFO has a
# writer that stays idle, or None for a regular file; what the child prints
# when the call is left to finish, once a packet has come)
PARSED = "Parsed packet: DataSensor"
CASES = {
    "open_file_fifo_without_writer": ("", "c.open_file(path) or c.read()", False, [PARSED, f"returned {SNAPSHOT}"]),
    "parse_fifo_without_writer": ("", "m.parse_data_stream_py(path)", False, [LINE, "returned None"]),
    "read_fifo_with_idle_writer": ("c.open_file(path)", "c.read()", True, [PARSED, f"returned {SNAPSHOT}"]),
    "parse_large_file": ("", "quiet(m.parse_data_stream_py, path)", None, ["returned None"]),
}


def send_one_packet(path, writer):
    """The FIFO's first writer comes, sends and leaves; an idle one sends."""
    if writer is not None:
        os.write(writer, PACKET)
        return
    # Non-blocking: fails at once, instead of hanging, if no reader waits.
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, PACKET)
    finally:
        os.close(fd)


def run_child(tmp_path, case, raising):
    before, call, idle_writer, _ = CASES[case]
    path = str(tmp_path / "stream")
    writer = None
    if idle_writer is None:
        with open(path, "wb") as f:
            f.write(PACKET * LARGE_FILE_PACKETS)
    else:
        os.mkfifo(path)
        if idle_writer:  # read and write: opens at once and never hangs up
            writer = os.open(path, os.O_RDWR)
    code = textwrap.dedent(CHILD).format(raising=raising, path=path, before=before, call=call)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")]))}
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        assert select.select([proc.stdout], [], [], 30)[0], "the child never got to the call"
        assert proc.stdout.readline() == b"calling\n", proc.stderr.read().decode()
        time.sleep(0.3)  # into the blocking call
        signals = 0
        # After an interruption only an idle writer still has a reader, and
        # its packet must come well after the signal did.
        fed = idle_writer is None or (raising and writer is None)
        start = time.monotonic()
        while proc.poll() is None and time.monotonic() < start + 60:  # a bound on a hang
            if raising or signals < 3:
                os.kill(proc.pid, signal.SIGINT)
                signals += 1
            if not fed and time.monotonic() - start > (1.0 if raising else 0.25):
                send_one_packet(path, writer)
                fed = True
            time.sleep(0.1)
        if proc.poll() is None:
            proc.kill()
            pytest.fail(f"{case} ignored {signals} SIGINTs")
        out, err = proc.communicate()
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        if writer is not None:
            os.close(writer)
    return proc.returncode, out.decode(), err.decode()


@pytest.mark.parametrize("case", CASES)
def test_ctrl_c_ends_a_blocking_call_with_keyboard_interrupt(tmp_path, case):
    rc, out, err = run_child(tmp_path, case, raising=True)
    assert rc == 0, err
    # An interrupted read keeps the port: the next one takes the next packet.
    after = [PARSED, f"after {SNAPSHOT}"] if CASES[case][2] else ["after {}"]
    assert out.splitlines() == ["KeyboardInterrupt", *after, "handled False"], err
    # Abandoned, not finished: no closing line, no diagnostics.
    assert "End of file" not in err and "IOERR" not in err, err


@pytest.mark.parametrize("case", CASES)
def test_a_handler_that_does_not_raise_leaves_the_call_to_finish(tmp_path, case):
    rc, out, err = run_child(tmp_path, case, raising=False)
    assert rc == 0, err
    assert out.splitlines() == CASES[case][3] + ["handled True"], err
    if "parse" in case:
        assert err == "End of file: failed to fill whole buffer\n"


@pytest.mark.parametrize("nonblocking", [False, True], ids=["blocking", "non_blocking"])
def test_ctrl_c_ends_a_write_to_a_full_pipe(tmp_path, nonblocking):
    # Standard output is a pipe that nobody reads: the parse fills it and
    # then waits in write(2), or (non-blocking) for room, holding the lock.
    path = tmp_path / "recording.bin"
    path.write_bytes(PACKET * 10_000)
    code = textwrap.dedent(f"""
        import os, sys
        import tavrin_ahrs_driver as m
        r, w = os.pipe()
        os.set_blocking(w, {not nonblocking})
        os.dup2(w, 1)
        os.write(2, b"calling\\n")
        try:
            m.parse_data_stream_py({str(path)!r})
        except KeyboardInterrupt:
            os.write(2, b"KeyboardInterrupt\\n")
        """)
    proc = subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE)
    try:
        assert proc.stderr.readline() == b"calling\n"
        time.sleep(0.3)  # into the wait
        # Signals until the child says it was interrupted, not until it has
        # exited: one that lands while it exits would end it by the signal.
        start, said = time.monotonic(), b""
        while not said and proc.poll() is None and time.monotonic() < start + 60:  # a bound on a hang
            os.kill(proc.pid, signal.SIGINT)
            if select.select([proc.stderr], [], [], 0.1)[0]:
                said = proc.stderr.readline()
        if not said and proc.poll() is None:
            pytest.fail("the write ignored every SIGINT")
        proc.wait(60)
        err = (said + proc.stderr.read()).decode()
    finally:
        proc.kill()
        proc.wait()
    assert err == "KeyboardInterrupt\n"
