"""The tools where they meet the process and the operating system: threads at
interpreter exit, failures of the system, inputs that cannot be read twice,
outputs that are the input, closed standard streams, pipes, Ctrl-C, odd
file names and crafted damage."""
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import ASAN_HEAP, installed_script, run_python
from mip import ESTIMATE, SENSOR, acc, field, packet

DUMP = installed_script("ahrs-dump")
INFO = installed_script("ahrs-info")
PLOT = installed_script("ahrs-plot")

CF_EULER = field(0x0C, "fff", 0.5, 0.25, 1.0)
GPS_TIME = field(0x11, "dHH", 1.5, 2300, 1)


def run(cmd, *args, **kw):
    return subprocess.run([cmd, *map(str, args)], capture_output=True, timeout=120, **kw)


@pytest.fixture
def late(tmp_path):
    """Two data sets, and a record that shows up only in a later sensor
    packet: the CSV export must read the recording twice."""
    path = tmp_path / "late.bin"
    path.write_bytes(packet(SENSOR, acc()) * 3 + packet(ESTIMATE, GPS_TIME)
                     + packet(SENSOR, acc(4.0, 5.0, 6.0) + CF_EULER) * 2)
    return path


def tables(prefix):
    """{set name: text} of the CSV tables written under `prefix`."""
    return {p.name[len(prefix.name) + 1:-4]: p.read_text() for p in prefix.parent.glob(prefix.name + ".*.csv")}


# --- threads still in native calls when the interpreter exits ------------------------------

@pytest.mark.parametrize("call", [
    "load('/dev/zero')",
    "_native.dump('/dev/zero', 'jsonl', '', OUT, None)",
    "_native.dump('/dev/zero', 'csv', '', OUT, None)",
])
def test_a_daemon_thread_in_a_native_call_does_not_abort_the_exit(tmp_path, call):
    # The interpreter ends such a thread when it asks for the lock back.
    code = f"""
        import threading, time
        from tavrin_ahrs_tools import _native, load
        OUT = {str(tmp_path / 'out')!r}
        threading.Thread(target=lambda: {call}, daemon=True).start()
        time.sleep(0.3)
    """
    for _ in range(5):
        done = run_python(code)
        assert (done.rc, done.err) == (0, "")


# --- the system refuses a thread or memory -------------------------------------------------

@pytest.mark.skipif(ASAN_HEAP is not None, reason="the address sanitizer needs its own address space")
@pytest.mark.parametrize("room_mb, raised", [
    (1, "MemoryError None"),  # not even the output's buffers
    (5, "BlockingIOError 11"),  # the buffers, but no stack for the writer's thread
])
@pytest.mark.parametrize("form", ["jsonl", "csv"])
def test_an_export_the_system_cannot_serve_raises_and_leaves_the_signal_mask(late, tmp_path, room_mb, raised, form):
    done = run_python(f"""
        import os, resource, signal
        from tavrin_ahrs_tools import _native
        used = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
        resource.setrlimit(resource.RLIMIT_AS, (used + ({room_mb} << 20), resource.RLIM_INFINITY))
        try:
            _native.dump({str(late)!r}, {form!r}, '', {str(tmp_path / 'out')!r}, None)
        except Exception as e:
            print(type(e).__name__, getattr(e, 'errno', None))
        print(signal.pthread_sigmask(signal.SIG_BLOCK, []) == mask)
    """)
    assert (done.rc, done.out) == (0, f"{raised}\nTrue\n"), done.err


# --- inputs read once ----------------------------------------------------------------------

def feed_fifo(fifo, data, outcome):
    try:
        with open(fifo, "wb") as w:
            w.write(data)
        outcome.append("written")
    except OSError as e:
        outcome.append(e)


@pytest.mark.parametrize("kind", ["pipe", "fifo", "dev-stdin-file"])
@pytest.mark.parametrize("form", ["csv", "jsonl"])
def test_an_input_that_cannot_be_read_twice_is_exported_whole(late, tmp_path, kind, form):
    ref, out = tmp_path / "ref", tmp_path / "out"
    expected = run(DUMP, late, "--format", form, "-o", ref)
    assert expected.returncode == 0
    data = late.read_bytes()
    if kind == "pipe":
        got = subprocess.run([DUMP, "/dev/stdin", "--format", form, "-o", str(out)],
                             input=data, capture_output=True, timeout=60)
    elif kind == "dev-stdin-file":
        with open(late, "rb") as stdin:
            got = run(DUMP, "/dev/stdin", "--format", form, "-o", out, stdin=stdin)
    else:
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        outcome = []
        writer = threading.Thread(target=feed_fifo, args=(fifo, data, outcome))
        writer.start()
        got = run(DUMP, fifo, "--format", form, "-o", out)
        writer.join(10)
        assert outcome == ["written"]  # one open: the writer met one reader, to the end
    assert (got.returncode, got.stderr) == (0, expected.stderr)
    assert "6 packets" in got.stderr.decode()
    if form == "csv":
        assert tables(out) == tables(ref) and len(tables(ref)) == 2
    else:
        assert out.read_bytes() == ref.read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []  # no spool left


# --- outputs that are the input --------------------------------------------------------------

@pytest.mark.parametrize("cmd, args, shell", [
    (DUMP, ["same.bin", "--format", "jsonl", "-o", "same.bin"], ""),
    (DUMP, ["link.bin", "--format", "text", "-o", "./same.bin"], ""),
    (DUMP, ["same.bin", "--format", "jsonl"], ">> same.bin"),
    (DUMP, ["same.DataSensor.csv", "--format", "csv", "-o", "same"], ""),
    (PLOT, ["same.png"], ""),
])
def test_an_output_that_is_the_input_is_refused_before_anything_is_written(late, tmp_path, cmd, args, shell):
    for name in ("same.bin", "same.DataSensor.csv", "same.png"):
        (tmp_path / name).write_bytes(late.read_bytes())
    (tmp_path / "link.bin").symlink_to("same.bin")
    done = subprocess.run(" ".join([cmd, *args, shell]), shell=True, cwd=tmp_path, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 2
    assert "refusing to write over it" in done.stderr.splitlines()[-1]
    assert all((tmp_path / n).read_bytes() == late.read_bytes() for n in ("same.bin", "same.DataSensor.csv"))
    assert (tmp_path / "same.png").read_bytes() == late.read_bytes()


# --- the CSV tables are the export's own ---------------------------------------------------

@pytest.mark.parametrize("again, left", [
    ([packet(SENSOR, acc())], {"DataSensor"}),
    ([packet(ESTIMATE, GPS_TIME)], {"DataEstimationFilter"}),
    ([packet(SENSOR, acc()), packet(ESTIMATE, GPS_TIME), "--records", "ScaledAccVector"], {"DataSensor"}),
    ([b""], set()),
])
def test_an_export_to_a_used_prefix_leaves_only_its_own_tables(late, tmp_path, again, left):
    prefix = tmp_path / "out"
    assert run(DUMP, late, "--format", "csv", "-o", prefix).returncode == 0
    (tmp_path / "out.notes.csv").write_text("mine")  # not a table of a data set: not the export's
    data = b"".join(p for p in again if isinstance(p, bytes))
    options = [a for a in again if isinstance(a, str)]
    path = tmp_path / "second.bin"
    path.write_bytes(data)
    assert run(DUMP, path, "--format", "csv", *options, "-o", prefix).returncode == 0
    assert set(tables(prefix)) == left | {"notes"}


def test_a_table_that_cannot_be_removed_fails_the_export(late, tmp_path):
    (tmp_path / "out.DataEstimationFilter.csv").mkdir()
    (tmp_path / "out.DataEstimationFilter.csv" / "x").write_text("")
    path = tmp_path / "sensor.bin"
    path.write_bytes(packet(SENSOR, acc()))
    done = run(DUMP, path, "--format", "csv", "-o", tmp_path / "out")
    assert done.returncode == 1
    assert done.stderr.decode().endswith("out.DataEstimationFilter.csv: Is a directory\n")


# --- standard streams, pipes and Ctrl-C ----------------------------------------------------

def shell(command, cwd):
    return subprocess.run(command, shell=True, cwd=cwd, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("command, status, stdout_file, message", [
    ("ahrs-info late.bin >&-", 1, None, "ahrs-info: standard output is closed\n"),
    ("ahrs-dump late.bin >&-", 1, None, "ahrs-dump: <stdout>: Bad file descriptor\n"),
    ("ahrs-dump late.bin --format jsonl > out 2>&-", 0, "out", ""),
    ("ahrs-dump late.bin --format jsonl -o out <&- >&- 2>&-", 0, "out", ""),
    ("ahrs-info late.bin >&- 2>&-", 1, None, ""),
])
def test_closed_standard_streams(late, command, status, stdout_file, message):
    bin_dir = Path(DUMP).parent
    done = shell(f"{bin_dir}/{command}", late.parent)
    assert (done.returncode, done.stderr) == (status, message)
    if stdout_file:
        # nothing but the data: no summary line, no diagnostic took the output's place
        expected = run(DUMP, late, "--format", "jsonl").stdout
        assert (late.parent / stdout_file).read_bytes() == expected


@pytest.mark.parametrize("cmd, args", [
    (INFO, []),
    (DUMP, []),
    (DUMP, ["--format", "jsonl"]),
])
def test_a_reader_gone_ends_a_command_quietly(late, cmd, args):
    proc = subprocess.Popen([cmd, str(late), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # as `| head` that has seen enough, before the first line
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (141, b"")


@pytest.mark.parametrize("cmd", [INFO, DUMP, PLOT])
def test_ctrl_c_ends_a_command_with_130_and_no_traceback(tmp_path, cmd):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # no writer: the command waits in its open
    proc = subprocess.Popen([cmd, str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        time.sleep(1.5)
        start = time.monotonic()
        while proc.poll() is None and time.monotonic() < start + 30:  # a bound on a hang
            proc.send_signal(signal.SIGINT)
            time.sleep(0.3)
        _, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 130
    assert b"Traceback" not in err
