"""Recordings as analysis-ready data: Arrow and Polars tables, the Parquet and
MCAP exports, the Parquet dataset built on a real Dask cluster, and the exit
statuses of ahrs-plot and ahrs-dump; all read back and held against load()."""

import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
from pathlib import Path

import duckdb
import numpy as np
import pyarrow.parquet as pq
import pytest
from conftest import ASAN_HEAP, installed_script, run_python, simulator_recording
from mip import ESTIMATE, SENSOR, acc, euler, field, packet
from reader_sync import wait_for

import tavrin_ahrs_tools
from tavrin_ahrs_tools import load
from tavrin_ahrs_tools.dataset import read_summary

NAN, INF = float("nan"), float("inf")


def run(script, *args, timeout=180):
    env = dict(os.environ)
    if ASAN_HEAP:
        # the libraries' own native code (matplotlib, pyarrow, dask's
        # workers) upsets the leak checker at exit; memory errors are still caught
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return subprocess.run(
        [installed_script(script), *map(str, args)], capture_output=True, text=True, timeout=timeout, env=env
    )


def odd_values():
    """Packets a simulator never sends: not-a-number, infinities, negative
    zero, an invalid filter output, stray bytes, no time at all."""
    return b"".join(
        [
            packet(SENSOR, acc(NAN, INF, -0.0)),
            b"\x75\x65\x00junk",
            packet(ESTIMATE, euler(-INF, 1e-30, 3.0, valid=0)),
            packet(SENSOR, acc(1.5, -2.5, 9.80665)),
        ]
    )


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """Three recordings unlike each other: 25 s of simulation (over 2,048
    rows a record, the block the native scan lays columns out by), the same
    followed by odd values, and odd values alone (no time)."""
    folder = tmp_path_factory.mktemp("recordings")
    plain = simulator_recording(folder / "plain.bin", 25)
    (folder / "odd_end.bin").write_bytes(plain.read_bytes() + odd_values())
    (folder / "untimed.bin").write_bytes(odd_values())
    return folder


def unit_of(field):
    return (field.metadata or {}).get(b"unit")


def expected_units(record):
    units = getattr(tavrin_ahrs_tools, "units", None)
    return units()[record] if units else {}


def assert_same_columns(columns, table, where):
    """Every column of a read-back table holds exactly load()'s values (bits
    of floats included), in load()'s order."""
    assert list(columns) == list(table.dtype.names), where
    for name, values in columns.items():
        want = table[name]
        got = np.asarray(values, dtype=want.dtype)
        assert got.tobytes() == want.tobytes(), f"{where}: {name}"


def test_arrow_and_polars_share_the_columns_and_equal_load(recordings):
    path = recordings / "odd_end.bin"
    rows, cols = load(path), load(path, layout="columns")
    assert list(cols.records) == list(rows.records) and len(rows.records) > 20
    for name, table in rows.records.items():
        assert cols.records[name].tobytes() == table.tobytes()
        arrow = cols.to_arrow(name)
        own = cols.columns(name)
        for column, values in own.items():
            if values.dtype != bool:  # Arrow keeps flags as bits
                assert arrow.column(column).chunks[0].buffers()[1].address == values.ctypes.data, column
        assert_same_columns({f: arrow.column(f).to_numpy() for f in arrow.column_names}, table, name)
        assert arrow.schema.metadata[b"record"] == name.encode()
        assert {f.name: unit_of(f).decode() for f in arrow.schema if unit_of(f) is not None} == expected_units(name)
        frame = rows.to_polars(name)  # from the row layout: copies, same values
        assert_same_columns({c: frame[c].to_numpy() for c in frame.columns}, table, name)
    cols.records["ScaledAccVector"]["x"][0] = 42.0  # made once, kept
    assert cols.records["ScaledAccVector"]["x"][0] == 42.0


@pytest.mark.parametrize("name", ["plain.bin", "odd_end.bin", "untimed.bin"])
def test_parquet_export_reads_back_as_load(recordings, tmp_path, name):
    done = run("ahrs-dump", recordings / name, "--format", "parquet", "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    rec = load(recordings / name)
    assert sorted(os.listdir(tmp_path / "out")) == sorted(f"{r}.parquet" for r in rec.records)
    for record, table in rec.records.items():
        back = pq.read_table(tmp_path / "out" / f"{record}.parquet")
        assert_same_columns({c: back.column(c).to_numpy() for c in back.column_names}, table, record)
        assert (
            pq.ParquetFile(tmp_path / "out" / f"{record}.parquet").metadata.row_group(0).column(2).compression == "ZSTD"
        )
        assert {f.name: unit_of(f) for f in back.schema} == {f.name: unit_of(f) for f in rec.to_arrow(record).schema}


def mcap_messages(path):
    from mcap.reader import make_reader

    with open(path, "rb") as f:
        reader = make_reader(f)
        schemas = {s.name: json.loads(s.data) for s in reader.get_summary().schemas.values()}
        messages = [(c.topic, m.log_time, json.loads(m.data)) for _s, c, m in reader.iter_messages()]
    return schemas, messages


@pytest.mark.parametrize("name", ["odd_end.bin", "untimed.bin"])
def test_mcap_export_reads_back_as_load(recordings, tmp_path, name):
    out = tmp_path / "out.mcap"
    done = run("ahrs-dump", recordings / name, "--format", "mcap", "--profile", "raw", "-o", out)
    assert done.returncode == 0, done.stderr
    rec = load(recordings / name)
    schemas, messages = mcap_messages(out)
    assert set(schemas) == set(rec.records)
    times = [t for _topic, t, _m in messages]
    assert times == sorted(times)
    for record, table in rec.records.items():
        rows = [m for topic, _t, m in messages if topic == f"/{record}"]
        assert list(schemas[record]["properties"]) == list(table.dtype.names)
        # JSON has no not-a-number nor infinities: those are null
        finite = {f: [INF if row[f] is None else row[f] for row in rows] for f in table.dtype.names}
        expected = table.copy()
        for f in table.dtype.names:
            if table.dtype[f].kind == "f":
                expected[f][~np.isfinite(table[f])] = INF
        assert_same_columns(finite, expected, record)
    if name == "untimed.bin":  # no time: packet order, a millisecond apart
        assert sorted(set(times)) == [0, 1_000_000, 2_000_000]
    else:  # GPS time as Unix time: the simulator's week 2345 is December 2024
        assert 1_733_000_000e9 < times[0] < 1_736_000_000e9 and times[-1] - times[0] > 1.9e9


def dataset_rows(dataset):
    return {row["name"]: row for row in pq.read_table(dataset / "recordings.parquet").to_pylist()}


def part_times(dataset):
    return {p: p.stat().st_mtime_ns for p in dataset.rglob("part-0.parquet")}


def test_dataset_on_a_two_worker_cluster_is_load_and_incremental(recordings, tmp_path):
    folder = tmp_path / "fleet"
    folder.mkdir()
    for f in recordings.iterdir():
        (folder / f.name).write_bytes(f.read_bytes())
    (folder / "sub").mkdir()
    (folder / "sub" / "plain.bin").write_bytes(odd_values())  # same name, another folder
    (folder / "gone.bin").symlink_to(tmp_path / "nowhere.bin")  # listed, unreadable
    (folder / "notes.txt").write_text("not a recording")
    dataset = tmp_path / "dataset"

    done = run("ahrs-dataset", folder, "-o", dataset, "--workers", 2)
    assert done.returncode == 1, done.stderr
    assert f"{folder}/gone.bin: No such file or directory" in done.stderr
    assert "4 converted, 1 failed, 0 unchanged" in done.stderr.splitlines()[-1]
    rows = dataset_rows(dataset)
    assert rows["gone"]["error"] == "No such file or directory" and rows["gone"]["packets"] is None
    twins = sorted(n for n in rows if n.startswith("plain-"))  # a name two files share: both told apart
    assert sorted(rows) == ["gone", "odd_end"] + twins + ["untimed"] and len(twins) == 2
    db = duckdb.connect()
    for name, row in rows.items():
        if name == "gone":
            continue
        rec = load(row["path"])
        assert (row["packets"], row["damaged_runs"], row["skipped_bytes"], row["truncated"]) == (
            rec.packets,
            len(rec.damaged),
            rec.skipped_bytes,
            rec.truncated,
        )
        assert row["bytes"] == os.path.getsize(row["path"]) and row["error"] is None
        assert (row["start_time"] is None) == (name in ("untimed",) or row["path"].endswith("sub/plain.bin"))
        for record, table in rec.records.items():
            back = db.sql(
                f"SELECT * FROM read_parquet('{dataset}/record={record}/*/*.parquet', "
                "hive_partitioning=true, hive_types_autocast=false) "
                f"WHERE recording = '{name}' ORDER BY packet"
            ).fetchnumpy()
            assert list(back)[-2:] == ["record", "recording"]
            assert_same_columns({c: back[c] for c in list(back)[:-2]}, table, f"{name} {record}")

    before = part_times(dataset)
    again = run("ahrs-dataset", folder, "-o", dataset, "--workers", 2)
    assert "0 converted, 1 failed, 4 unchanged" in again.stderr.splitlines()[-1]
    assert part_times(dataset) == before and dataset_rows(dataset) == rows

    with open(folder / "odd_end.bin", "ab") as f:  # grows: converted again, alone
        f.write(packet(SENSOR, acc(7.0, 8.0, 9.0)))
    third = run("ahrs-dataset", folder / "odd_end.bin", folder / "untimed.bin", "-o", dataset, "--workers", 1)
    assert third.returncode == 0 and "1 converted, 0 failed, 1 unchanged" in third.stderr, third.stderr
    changed = {p for p, t in part_times(dataset).items() if before[p] != t}
    assert changed and all("recording=odd_end" in str(p) for p in changed)
    assert dataset_rows(dataset)["odd_end"]["packets"] == rows["odd_end"]["packets"] + 1


@pytest.mark.parametrize(
    "script, args, content, status, last_line",
    [
        ("ahrs-plot", [], "good", 0, "ahrs-plot: {out}"),
        ("ahrs-plot", ["--start", "0.5", "--end", "1"], "good", 0, "ahrs-plot: {out}"),
        ("ahrs-plot", ["--start", "100"], "good", 1, "ahrs-plot: {file}: nothing to plot between --start and --end"),
        ("ahrs-plot", ["--start", "2", "--end", "1"], "good", 2, None),
        (
            "ahrs-plot",
            [],
            "junk",
            1,
            "ahrs-plot: {file}: nothing to plot (none of CFEulerAngles, "
            "OrientationEuler, ScaledGyroVector, ScaledAccVector)",
        ),
        ("ahrs-plot", [], "empty", 1, None),
        ("ahrs-dump", ["--format", "csv"], "good", 0, "ahrs-dump: 4 packets, 0 damaged runs, 0 bytes skipped"),
        ("ahrs-dump", ["--format", "parquet"], "junk", 1, "ahrs-dump: {file}: no well-formed packet"),
        ("ahrs-dump", ["--format", "csv"], "empty", 1, "ahrs-dump: {file}: no well-formed packet"),
        ("ahrs-dump", ["--format", "jsonl"], "junk", 1, "ahrs-dump: {file}: no well-formed packet"),
        ("ahrs-dump", ["--format", "mcap"], "empty", 1, "ahrs-dump: {file}: no well-formed packet"),
    ],
)
def test_exit_statuses_on_junk_empty_and_good_files(tmp_path, script, args, content, status, last_line):
    timed = [packet(ESTIMATE, euler() + field(0x11, "dHH", 345600.0 + t, 2345, 1)) for t in (0, 0.5, 1)]
    files = {"good": b"".join(timed) + packet(SENSOR, acc()), "junk": bytes(range(256)) * 8, "empty": b""}
    source = tmp_path / f"{content}.bin"
    source.write_bytes(files[content])
    out = tmp_path / "out"
    done = run(script, source, *args, "-o", out.with_suffix(".png") if script == "ahrs-plot" else out)
    assert done.returncode == status, done.stderr
    assert "Traceback" not in done.stderr
    if last_line:
        assert done.stderr.splitlines()[-1] == last_line.format(file=source, out=out.with_suffix(".png"))
    if script == "ahrs-plot" and status == 1:
        assert done.stderr.count("\n") == 1 and not out.with_suffix(".png").exists()


@pytest.mark.parametrize(
    "missing, call, hint",
    [
        (
            "pyarrow",
            "load(path).to_arrow('ScaledAccVector')",
            "to_arrow() needs pyarrow: pip install 'tavrin_ahrs_driver[arrow]'",
        ),
        (
            "polars",
            "load(path).to_polars('ScaledAccVector')",
            "to_polars() needs polars: pip install 'tavrin_ahrs_driver[arrow]'",
        ),
        (
            "pyarrow",
            "dump(['--format', 'parquet', path, '-o', path + '.d'])",
            "ahrs-dump: --format parquet needs pyarrow: pip install 'tavrin_ahrs_driver[arrow]'",
        ),
        (
            "mcap",
            "dump(['--format', 'mcap', '--profile', 'raw', path, '-o', path + '.mcap'])",
            "ahrs-dump: --format mcap needs mcap: pip install 'tavrin_ahrs_driver[mcap]'",
        ),
        (
            "distributed",
            "dataset([path, '-o', path + '.d'])",
            "ahrs-dataset needs distributed: pip install 'tavrin_ahrs_driver[dataset]'",
        ),
    ],
)
def test_a_missing_library_is_named_in_one_line(recordings, missing, call, hint):
    done = run_python(f"""
        import sys
        for name in ("pyarrow", "polars", "mcap", "dask", "distributed", "duckdb"):
            if name != {missing!r}:
                __import__(name)
        sys.modules[{missing!r}] = None  # as if it were not installed
        import tavrin_ahrs_driver, tavrin_ahrs_tools
        from tavrin_ahrs_tools import load
        from tavrin_ahrs_tools.dump import main as dump
        from tavrin_ahrs_tools.dataset import main as dataset
        path = {str(recordings / "untimed.bin")!r}
        try:
            status = {call}
        except ImportError as e:
            print(e, file=sys.stderr)
            status = 1
        sys.exit(status)
    """)
    assert done.rc == 1
    assert done.err.splitlines()[-1] == hint and "Traceback" not in done.err


def test_the_driver_and_load_need_none_of_the_analysis_libraries(recordings):
    done = run_python(f"""
        import sys
        for name in ("pyarrow", "polars", "mcap", "dask", "distributed", "duckdb", "pandas"):
            sys.modules[name] = None
        import tavrin_ahrs_driver
        from tavrin_ahrs_tools import load
        print(load({str(recordings / "plain.bin")!r}, layout="columns").packets)
    """)
    assert done.rc == 0 and int(done.out) > 300, done.err


def test_a_fifo_among_the_recordings_is_skipped_and_listed(recordings, tmp_path):
    """Reading a FIFO would wait for a writer for ever: the run lists it and fails, the rest converted."""
    folder = tmp_path / "in"
    folder.mkdir()
    shutil.copy(recordings / "odd_end.bin", folder / "odd_end.bin")
    os.mkfifo(folder / "pipe.bin")
    done = run("ahrs-dataset", folder, "-o", tmp_path / "dataset", "--workers", 1, timeout=120)
    assert done.returncode == 1
    assert f"{folder / 'pipe.bin'}: skipped, not a regular file (a FIFO)" in done.stderr
    assert "1 converted, 0 failed" in done.stderr.splitlines()[-1]
    assert list(dataset_rows(tmp_path / "dataset")) == ["odd_end"]


def test_a_dataset_inside_its_input_folder_is_not_read_as_input(recordings, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    shutil.copy(recordings / "odd_end.bin", folder / "odd_end.bin")
    (folder / "junk.bin").write_bytes(b"\x00\x01\x02 no packet here" * 50)
    for _ in range(2):
        done = run("ahrs-dataset", folder, "-o", folder / "dataset", "--glob", "*", "--workers", 1)
    assert done.returncode == 1
    # the junk is a failure, never "converted"; the dataset's own files are never found
    assert f"{folder / 'junk.bin'}: no well-formed packet" in done.stderr
    assert "0 converted, 1 failed, 1 unchanged" in done.stderr.splitlines()[-1], done.stderr
    assert sorted(dataset_rows(folder / "dataset")) == ["junk", "odd_end"]


def test_the_dataset_recipes_read_one_record_only(tmp_path):
    """Each recipe of docs/dataset-recipes.md, run against a built dataset,
    reads CFEulerAngles' rows and nothing of recordings.parquet."""
    page = (Path(__file__).resolve().parents[2] / "docs" / "dataset-recipes.md").read_text()
    blocks = re.findall(r"```(python|sh)\n(.*?)```", page, re.S)
    simulator_recording(tmp_path / "flight.bin", 2)
    space = {}
    for kind, code in blocks:
        if kind == "sh":
            subprocess.run(
                code,
                shell=True,
                cwd=tmp_path,
                check=True,
                capture_output=True,
                timeout=300,
                env={**os.environ, "PATH": f"{Path(sys.executable).parent}:{os.environ['PATH']}"},
            )
        else:
            cwd = os.getcwd()
            os.chdir(tmp_path)
            try:
                exec(code, space)
            finally:
                os.chdir(cwd)
    rows = len(load(tmp_path / "flight.bin").records["CFEulerAngles"])
    assert space["by_recording"] == [("flight", pytest.approx(space["by_recording"][0][1]), rows)]
    assert space["table"].num_rows == rows and space["table"].column("roll").null_count == 0
    assert space["frame"].height == rows and space["frame"]["roll"].null_count() == 0


def test_a_recording_gone_from_a_folder_named_again_leaves_the_dataset(recordings, tmp_path):
    folder, elsewhere, dataset = tmp_path / "in", tmp_path / "other.bin", tmp_path / "dataset"
    folder.mkdir()
    for name in ("odd_end.bin", "untimed.bin"):
        shutil.copy(recordings / name, folder / name)
    shutil.copy(recordings / "untimed.bin", elsewhere)
    assert run("ahrs-dataset", folder, elsewhere, "-o", dataset, "--workers", 1).returncode == 0
    (folder / "untimed.bin").unlink()
    done = run("ahrs-dataset", folder, "-o", dataset, "--workers", 1)
    assert done.returncode == 0
    assert f"{folder / 'untimed.bin'}: gone from its folder, removed from the dataset" in done.stderr
    # a recording named only in the earlier run stays
    assert sorted(dataset_rows(dataset)) == ["odd_end", "other"]
    assert not list(dataset.glob("record=*/recording=untimed"))
    assert list(dataset.glob("record=*/recording=other"))


def group_members(pgid):
    """Processes of the group still alive (a zombie only waits to be reaped)."""
    members = []
    for entry in os.listdir("/proc"):
        try:
            # pid (comm) state ppid pgrp ...: comm may hold spaces, so split after it
            fields = Path(f"/proc/{entry}/stat").read_text().rpartition(")")[2].split()
        except (OSError, ValueError):
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            members.append(int(entry))
    return members


def test_ctrl_c_at_the_terminal_ends_a_run_in_one_line_and_leaves_no_process(recordings, tmp_path):
    """A terminal's Ctrl-C reaches the whole process group: the workers and
    their nannies included. Only the command may speak, once, and the cluster
    must go with it."""
    folder, dataset = tmp_path / "in", tmp_path / "dataset"
    folder.mkdir()
    for n in range(60):  # enough work to be still under way when the first part is written
        os.link(recordings / "plain.bin", folder / f"r{n:02}.bin")
    command = [installed_script("ahrs-dataset"), str(folder), "-o", str(dataset), "--workers", "2"]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    # The parts of half the recordings: by then the command has the rows of many.
    parts = 30 * len(load(str(recordings / "plain.bin")).records)
    try:
        started = wait_for(
            lambda: proc.poll() is not None or len(list(dataset.glob("record=*/*/part-0.parquet"))) >= parts, 120
        )
        assert started and proc.poll() is None, "the run ended before it could be interrupted"
        os.killpg(proc.pid, signal.SIGINT)
        _, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert (proc.returncode, err) == (130, "ahrs-dataset: interrupted\n")
    assert wait_for(lambda: not group_members(proc.pid), 60), group_members(proc.pid)
    # What the cut run finished is in recordings.parquet, and is not converted again.
    finished = len(read_summary(str(dataset)))
    assert 1 <= finished < 60
    again = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert again.returncode == 0, again.stderr
    assert f"{60 - finished} converted, 0 failed, {finished} unchanged" in again.stderr


def test_a_run_says_nothing_of_the_cluster_when_its_usual_port_is_taken(recordings, tmp_path):
    """The scheduler's HTTP server would take port 8787, and warn when another
    cluster on the machine holds it."""
    with socket.socket() as holder:
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        with contextlib.suppress(OSError):  # held already: the case at hand all the same
            holder.bind(("", 8787))
            holder.listen()
        done = run("ahrs-dataset", recordings / "plain.bin", "-o", tmp_path / "dataset", "--workers", 1)
    assert done.returncode == 0
    assert (
        done.stderr
        == f"ahrs-dataset: 1 converted, 0 failed, 0 unchanged; {tmp_path / 'dataset' / 'recordings.parquet'}\n"
    )
