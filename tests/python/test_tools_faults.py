"""The tools where they meet the process and the operating system: threads at
interpreter exit, failures of the system, inputs that cannot be read twice,
outputs that are the input, closed standard streams, pipes, Ctrl-C, odd
file names and crafted damage."""

import os
import signal
import subprocess
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
    path.write_bytes(
        packet(SENSOR, acc()) * 3 + packet(ESTIMATE, GPS_TIME) + packet(SENSOR, acc(4.0, 5.0, 6.0) + CF_EULER) * 2
    )
    return path


def tables(prefix):
    """{set name: text} of the CSV tables written under `prefix`."""
    return {p.name[len(prefix.name) + 1 : -4]: p.read_text() for p in prefix.parent.glob(prefix.name + ".*.csv")}


# --- threads still in native calls when the interpreter exits ------------------------------


@pytest.mark.parametrize(
    "call",
    [
        "load('/dev/zero')",
        "_native.dump('/dev/zero', 'jsonl', '', OUT, None)",
        "_native.dump('/dev/zero', 'csv', '', OUT, None)",
    ],
)
def test_a_daemon_thread_in_a_native_call_does_not_abort_the_exit(tmp_path, call):
    # The interpreter ends such a thread when it asks for the lock back.
    code = f"""
        import threading, time
        from tavrin_ahrs_tools import _native, load
        OUT = {str(tmp_path / "out")!r}
        threading.Thread(target=lambda: {call}, daemon=True).start()
        time.sleep(0.3)
    """
    # CPython leaves whatever a daemon thread still running at exit holds
    # unfreed, its imports' blocks included: the interpreter's, not the
    # driver's. Leaks go unchecked here; memory errors are still caught.
    env = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"} if ASAN_HEAP else None
    for _ in range(5):
        done = run_python(code, env=env)
        assert (done.rc, done.err) == (0, "")


# --- the system refuses a thread or memory -------------------------------------------------


@pytest.mark.skipif(ASAN_HEAP is not None, reason="the address sanitizer needs its own address space")
@pytest.mark.parametrize(
    "room_mb, raised",
    [
        (1, "MemoryError None"),  # not even the output's buffers
        (5, "BlockingIOError 11"),  # the buffers, but no stack for the writer's thread
    ],
)
@pytest.mark.parametrize("form", ["jsonl", "csv"])
def test_an_export_the_system_cannot_serve_raises_and_leaves_the_signal_mask(late, tmp_path, room_mb, raised, form):
    done = run_python(f"""
        import os, resource, signal
        from tavrin_ahrs_tools import _native
        used = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
        resource.setrlimit(resource.RLIMIT_AS, (used + ({room_mb} << 20), resource.RLIM_INFINITY))
        try:
            _native.dump({str(late)!r}, {form!r}, '', {str(tmp_path / "out")!r}, None)
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
        got = subprocess.run(
            [DUMP, "/dev/stdin", "--format", form, "-o", str(out)], input=data, capture_output=True, timeout=60
        )
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


@pytest.mark.parametrize(
    "cmd, args, shell",
    [
        (DUMP, ["same.bin", "--format", "jsonl", "-o", "same.bin"], ""),
        (DUMP, ["link.bin", "--format", "text", "-o", "./same.bin"], ""),
        (DUMP, ["same.bin", "--format", "jsonl"], ">> same.bin"),
        (DUMP, ["same.DataSensor.csv", "--format", "csv", "-o", "same"], ""),
        (PLOT, ["same.png"], ""),
    ],
)
def test_an_output_that_is_the_input_is_refused_before_anything_is_written(late, tmp_path, cmd, args, shell):
    for name in ("same.bin", "same.DataSensor.csv", "same.png"):
        (tmp_path / name).write_bytes(late.read_bytes())
    (tmp_path / "link.bin").symlink_to("same.bin")
    done = subprocess.run(
        " ".join([cmd, *args, shell]), shell=True, cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 2
    assert "refusing to write over it" in done.stderr.splitlines()[-1]
    assert all((tmp_path / n).read_bytes() == late.read_bytes() for n in ("same.bin", "same.DataSensor.csv"))
    assert (tmp_path / "same.png").read_bytes() == late.read_bytes()


# --- the CSV tables are the export's own ---------------------------------------------------


@pytest.mark.parametrize(
    "again, left",
    [
        ([packet(SENSOR, acc())], {"DataSensor"}),
        ([packet(ESTIMATE, GPS_TIME)], {"DataEstimationFilter"}),
        ([packet(SENSOR, acc()), packet(ESTIMATE, GPS_TIME), "--records", "ScaledAccVector"], {"DataSensor"}),
        ([b""], {"DataSensor", "DataEstimationFilter"}),  # nothing to export: the earlier tables stay whole
    ],
)
def test_an_export_to_a_used_prefix_leaves_only_its_own_tables(late, tmp_path, again, left):
    prefix = tmp_path / "out"
    assert run(DUMP, late, "--format", "csv", "-o", prefix).returncode == 0
    (tmp_path / "out.notes.csv").write_text("mine")  # not a table of a data set: not the export's
    data = b"".join(p for p in again if isinstance(p, bytes))
    options = [a for a in again if isinstance(a, str)]
    path = tmp_path / "second.bin"
    path.write_bytes(data)
    assert run(DUMP, path, "--format", "csv", *options, "-o", prefix).returncode == (0 if data else 1)
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


@pytest.mark.parametrize(
    "command, status, stdout_file, message",
    [
        ("ahrs-info late.bin >&-", 1, None, "ahrs-info: standard output is closed\n"),
        ("ahrs-dump late.bin >&-", 1, None, "ahrs-dump: standard output is closed\n"),
        ("ahrs-dump late.bin --format jsonl > out 2>&-", 0, "out", ""),
        ("ahrs-dump late.bin --format jsonl -o out <&- >&- 2>&-", 0, "out", ""),
        ("ahrs-info late.bin >&- 2>&-", 1, None, ""),
    ],
)
def test_closed_standard_streams(late, command, status, stdout_file, message):
    bin_dir = Path(DUMP).parent
    done = shell(f"{bin_dir}/{command}", late.parent)
    assert (done.returncode, done.stderr) == (status, message)
    if stdout_file:
        # nothing but the data: no summary line, no diagnostic took the output's place
        expected = run(DUMP, late, "--format", "jsonl").stdout
        assert (late.parent / stdout_file).read_bytes() == expected


@pytest.mark.parametrize(
    "cmd, args",
    [
        (INFO, []),
        (DUMP, []),
        (DUMP, ["--format", "jsonl"]),
    ],
)
def test_a_reader_gone_ends_a_command_quietly(late, cmd, args):
    proc = subprocess.Popen([cmd, str(late), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # as `| head` that has seen enough, before the first line
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (141, b"")


@pytest.mark.parametrize("cmd", [INFO, DUMP, PLOT])
def test_ctrl_c_ends_a_command_with_130_and_no_traceback(tmp_path, cmd):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    proc = subprocess.Popen([cmd, str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    writer = None
    try:
        # A writer's non-blocking open succeeds only once the command waits in
        # its own open of the FIFO: past its imports, where Ctrl-C is its to
        # handle. It then waits for data that never comes.
        deadline = time.monotonic() + 60
        while writer is None and proc.poll() is None and time.monotonic() < deadline:
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                time.sleep(0.05)
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
    finally:
        if writer is not None:
            os.close(writer)
        proc.kill()
        proc.wait()
    assert proc.returncode == 130
    assert b"Traceback" not in err


@pytest.mark.parametrize("interrupted", ["raise KeyboardInterrupt", "return 130"])
def test_a_second_ctrl_c_while_a_command_shuts_down_ends_it_with_130(interrupted):
    """The interpreter's shutdown after a Ctrl-C (threads joined, exit
    handlers) is cut by another: the process ends at once, no traceback."""
    r = run_python(
        f"""
        import atexit, os, signal, sys, time
        from tavrin_ahrs_tools.cli import command

        @command("ahrs-test")
        def main(argv=None):
            {interrupted}

        atexit.register(lambda: (signal.raise_signal(signal.SIGINT), time.sleep(30), print("slept")))
        sys.exit(main())
        """
    )
    assert (r.rc, r.out, r.err) == (130, "", "")


# --- replay ------------------------------------------------------------------------------

SIM = installed_script("ahrs-sim")


def gps_at(tow, week=2345):
    return packet(ESTIMATE, field(0x11, "dHH", tow, week, 1))


def replay(path, *args, reader=None):
    """(exit status, standard error, bytes received) of a replay of `path`;
    `reader(fd, proc)` may do more while it runs."""
    from test_tools import opened, read_until, simulator

    with simulator("--replay", str(path), *args) as (proc, dev), opened(dev) as fd:
        if reader:
            reader(fd, proc)
        got = read_until(fd, lambda d: proc.poll() is not None, timeout=30)
        status = proc.wait(10)
        return status, proc.stderr.read(), got


@pytest.mark.parametrize(
    "times",
    [
        [(10.0, 2345), (float("nan"), 2345), (10.1, 2345), (10.2, 2345)],
        [(10.0, 2345), (float("inf"), 2345), (10.1, 2345)],
        [(10.0, 2345), (1e300, 2345), (10.1, 2345), (10.2, 2345)],
        [(5.0, 0), (5.1, 0), (100.0, 2345), (100.1, 2345)],  # no fix yet, then the real week
    ],
    ids=["nan", "inf", "far", "week-0"],
)
def test_a_replay_paces_nothing_on_an_odd_time(tmp_path, times):
    path = tmp_path / "odd.bin"
    path.write_bytes(b"".join(gps_at(tow, week) + packet(SENSOR, acc()) for tow, week in times))
    start = time.monotonic()
    status, err, got = replay(path)
    assert (status, got) == (0, path.read_bytes()), err
    assert time.monotonic() - start < 10  # a bound on a stall, not a measure of speed
    assert "1 odd time not paced" in err


@pytest.mark.parametrize(
    "content", [packet(SENSOR, acc()), b"\x00junk" * 3, gps_at(10.0)], ids=["untimed packet", "junk", "one time"]
)
def test_a_loop_over_nothing_to_pace_does_not_spin(tmp_path, content):
    path = tmp_path / "flat.bin"
    path.write_bytes(content)
    status, err, _ = replay(path, "--loop", "--duration", "1")
    assert status == 0, err
    rounds = int(err.split(" round")[0].rsplit("(", 1)[1].replace(",", ""))
    assert 1 <= rounds <= 101


def test_a_recording_cut_short_while_it_plays_ends_the_replay_in_one_line(tmp_path):
    path = tmp_path / "long.bin"
    subprocess.run(
        [SIM, "--record", str(path), "--seconds", "20", "--rate", "50"], check=True, timeout=60, capture_output=True
    )

    def cut(fd, proc):
        from test_tools import read_until

        assert read_until(fd, lambda d: len(d) > 2000)
        os.truncate(path, 1000)

    status, err, _ = replay(path, "--speed", "4", reader=cut)
    assert status == 1
    assert err.splitlines()[-1] == f"ahrs-sim: {path}: the file shrank to 1,000 bytes while it was replayed"


# --- file names ----------------------------------------------------------------------------

ODD_NAME = b"r\xe9c \xff.bin"  # not UTF-8


@pytest.mark.parametrize(
    "name",
    [
        lambda p: os.fsencode(p),
        lambda p: os.fsdecode(p),  # the same bytes as a str, through surrogate escapes
        lambda p: Path(os.fsdecode(p)),
    ],
    ids=["bytes", "str", "path"],
)
def test_load_takes_any_name_the_system_takes(late, tmp_path, name):
    from tavrin_ahrs_tools import load

    odd = os.path.join(os.fsencode(tmp_path), ODD_NAME)
    os.rename(late, odd)
    assert load(name(odd)).packets == 6
    with pytest.raises(FileNotFoundError) as missing:
        load(name(odd + b"x"))
    assert os.fsencode(missing.value.filename) == odd + b"x"


@pytest.mark.parametrize(
    "call",
    [
        "load(NAME)",
        "_native.dump(NAME, 'jsonl', '', 'out', None)",
        "_native.dump('late.bin', 'jsonl', '', NAME, None)",
    ],
)
@pytest.mark.parametrize("name", ["'a\\0b.bin'", "b'a\\0b.bin'"])
def test_a_nul_in_a_name_is_a_value_error(late, call, name):
    done = run_python(f"""
        import os
        os.chdir({str(late.parent)!r})
        from tavrin_ahrs_tools import _native, load
        NAME = {name}
        try:
            {call}
        except ValueError as e:
            print(e)
    """)
    assert (done.rc, done.out, done.err) == (0, "embedded null byte\n", "")


def test_the_driver_keeps_its_str_only_names(late):
    import tavrin_ahrs_driver

    with pytest.raises(TypeError):
        tavrin_ahrs_driver.parse_data_stream_py(os.fsencode(late))


@pytest.mark.parametrize(
    "cmd, args, made",
    [
        (INFO, [], None),
        (DUMP, ["--format", "jsonl", "-o", ODD_NAME + b".jsonl"], ODD_NAME + b".jsonl"),
        (DUMP, ["--format", "csv", "-o", ODD_NAME], ODD_NAME + b".DataSensor.csv"),
        (PLOT, [], b"r\xe9c \xff.png"),
    ],
)
def test_the_commands_take_any_name(late, cmd, args, made):
    os.rename(late, late.parent / os.fsdecode(ODD_NAME))
    done = subprocess.run([cmd.encode(), ODD_NAME, *args], cwd=late.parent, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    if made:
        assert os.path.getsize(os.path.join(os.fsencode(late.parent), made)) > 0
    else:
        assert done.stdout.startswith(b"File: " + ODD_NAME + b" (")  # the name as its own bytes


# --- crafted damage ------------------------------------------------------------------------


def test_damaged_offsets_are_a_compact_array(tmp_path):
    from tavrin_ahrs_tools import load

    path = tmp_path / "crafted.bin"
    unit = packet(SENSOR) + b"\x00"
    path.write_bytes(unit * 70_000)  # two blocks and more of the native list
    rec = load(path)
    assert (rec.damaged.dtype.name, rec.damaged.nbytes) == ("uint64", 8 * 70_000)
    assert (len(rec.damaged), rec.damaged[0], rec.damaged[-1]) == (70_000, 6, 7 * 70_000 - 1)
    assert (rec.damaged == range(6, 7 * 70_000, 7)).all()


@pytest.mark.parametrize(
    "command, message",
    [
        ("ahrs-monitor ''", "ahrs-monitor: port must not be empty"),
        ("ahrs-bridge ''", "ahrs-bridge: port must not be empty"),
        ("ahrs-record --device '' --seconds 1 --output x", "ahrs-record: error: --device must not be empty"),
        ("ahrs-record --device x --seconds 1 --output ''", "ahrs-record: error: --output must not be empty"),
        ("ahrs-dump ''", "ahrs-dump: error: the recording's path must not be empty"),
    ],
)
def test_an_empty_path_is_one_line(tmp_path, command, message):
    if command.startswith("ahrs-bridge"):
        pytest.importorskip("foxglove")
    done = shell(f"{Path(DUMP).parent}/{command}", tmp_path)
    assert done.returncode != 0
    assert done.stderr.splitlines()[-1] == message
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize(
    "command",
    ["ahrs-monitor {port}", "ahrs-bridge {port}", "ahrs-record --device {port} --seconds 1 --output {tmp}/x.bin"],
)
@pytest.mark.parametrize(
    "port, reason",
    [
        ("/dev/serial/by-id/usb-missing-if00", "No such file or directory ("),
        ("{tmp}/plain-file", "not a serial device ("),
    ],
)
def test_a_port_that_cannot_be_opened_is_one_line_from_every_command(tmp_path, command, port, reason):
    # The same words from each command that opens a port.
    if command.startswith("ahrs-bridge"):
        pytest.importorskip("foxglove")
    (tmp_path / "plain-file").write_bytes(b"")
    port = port.format(tmp=tmp_path)
    done = shell(f"{Path(DUMP).parent}/{command.format(port=port, tmp=tmp_path)}", tmp_path)
    assert done.returncode == 1
    assert done.stderr.startswith(f"{command.split()[0]}: cannot open {port}: {reason}")
    assert done.stderr.count("\n") == 1, done.stderr
