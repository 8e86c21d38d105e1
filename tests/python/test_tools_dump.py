"""ahrs-dump: its exports read back with the standard csv and json modules
equal load(); its text equals parse_data_stream_py; damage never stops it;
every float is the shortest text that reads back at its wire width."""

import csv
import fcntl
import json
import math
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import run_python, simulator_recording
from mip import ESTIMATE, SENSOR, acc, corrupted, field, packet
from reader_sync import unread, wait_for

from tavrin_ahrs_tools import load

DUMP = Path(sys.executable).parent / "ahrs-dump"


def dump(*args):
    return subprocess.run([str(DUMP), *map(str, args)], capture_output=True, text=True, timeout=120)


SPLICE = 892  # the start of the simulator's fifth packet
BAD = b"\x00\x01\x02" + corrupted(packet(SENSOR, acc()))  # stray bytes, then a bad checksum
FALSE_HEADER = b"\x75\x65\x80\xff"


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    return simulator_recording(tmp_path_factory.mktemp("dump") / "clean.bin", 3)


@pytest.fixture(scope="module")
def recording(clean, tmp_path_factory):
    """The simulator's recording with damage spliced in between packets, and
    a last packet behind a false header."""
    path = tmp_path_factory.mktemp("dump") / "flight.bin"
    clean = clean.read_bytes()
    path.write_bytes(
        clean[:SPLICE] + BAD + clean[SPLICE:] + FALSE_HEADER + packet(SENSOR, acc(0.1, 1e-5, float("nan")))
    )
    return path


def rows_by_packet(rec):
    """{(record name, packet index): row} from load()."""
    return {(name, int(row["packet"])): row for name, table in rec.records.items() for row in table}


def float_text(value, dtype):
    """The shortest decimal of the value at its width, as Python lays it out."""
    if np.isnan(value):
        return "nan"
    return repr(float(str(dtype.type(value)))) if dtype == np.float32 else repr(float(value))


def cell_text(value, dtype):
    if dtype == np.bool_:
        return "Valid" if value else "Invalid"
    if dtype == np.uint16:
        return str(int(value))
    return float_text(value, dtype)


def test_csv_reads_back_as_load(recording, tmp_path):
    rec = load(recording)
    rows = rows_by_packet(rec)
    r = dump(recording, "--format", "csv", "-o", tmp_path / "out")
    assert r.returncode == 0, r.stderr
    seen = 0
    for set_name, count in rec.sets.items():
        with open(tmp_path / f"out.{set_name}.csv", newline="") as f:
            table = list(csv.DictReader(f))
        assert len(table) == count
        assert list(table[0])[:3] == ["packet", "offset", "time"]
        columns = list(table[0])[3:]
        present = [n for n in rec.records if any(c.startswith(n + ".") for c in columns)]
        assert columns == [f"{n}.{i}" for n in present for i in rec.records[n].dtype.names[3:]]
        for line in table:
            packet = int(line["packet"])
            for column, text in line.items():
                if column in ("packet", "offset", "time"):
                    continue
                name, item = column.split(".")
                row = rows.get((name, packet))
                if row is None:
                    assert text == ""
                    continue
                assert int(line["offset"]) == row["offset"]
                assert line["time"] == float_text(row["time"], np.dtype(np.float64))
                assert text == cell_text(row[item], rec.records[name].dtype[item]), (column, packet)
                seen += 1
    assert seen == sum(len(t) * (len(t.dtype.names) - 3) for t in rec.records.values())


def test_jsonl_reads_back_as_load(recording):
    rec = load(recording)
    rows = rows_by_packet(rec)
    r = dump(recording, "--format", "jsonl")
    assert r.returncode == 0, r.stderr
    objects = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(objects) == rec.packets
    assert sum(len(o["readings"]) for o in objects) == len(rows)
    for number, obj in enumerate(objects):
        assert list(obj) == ["offset", "time", "set", "readings"]
        for name, items in obj["readings"].items():
            row = rows[(name, number)]
            assert obj["offset"] == row["offset"]
            assert obj["time"] == row["time"] or (obj["time"] is None and math.isnan(row["time"]))
            assert list(items) == list(row.dtype.names[3:])
            for item, value in items.items():
                kind = row.dtype[item]
                if kind == np.bool_:
                    assert value == ("Valid" if row[item] else "Invalid")
                elif value is None:
                    assert math.isnan(row[item])
                else:
                    assert kind.type(value) == row[item]


def test_text_equals_parse_data_stream_py(clean):
    expected = run_python(f"import tavrin_ahrs_driver as m; m.parse_data_stream_py({str(clean)!r})").out
    r = dump(clean)
    assert r.returncode == 0 and r.stdout == expected and expected.count("\n") > 100


def test_damage_is_skipped_and_summed_up(clean, recording):
    clean_offsets = [json.loads(line)["offset"] for line in dump(clean, "--format", "jsonl").stdout.splitlines()]
    size = clean.stat().st_size
    r = dump(recording, "--format", "jsonl")
    offsets = [json.loads(line)["offset"] for line in r.stdout.splitlines()]
    shifted = [o if o < SPLICE else o + len(BAD) for o in clean_offsets]
    assert offsets == shifted + [size + len(BAD) + len(FALSE_HEADER)]
    assert r.stderr.splitlines() == [
        f"ahrs-dump: {len(offsets)} packets, 2 damaged runs, {len(BAD) + len(FALSE_HEADER)} bytes skipped"
    ]
    rec = load(recording)
    assert rec.damaged.tolist() == [SPLICE, size + len(BAD)]


TRICKY = [  # float32 value, csv text, json text
    ("0.1", "0.1", "0.1"),
    ("1e-5", "1e-05", "1e-05"),
    ("1e-4", "0.0001", "0.0001"),
    ("1e16", "1e+16", "1e+16"),
    ("123456789", "123456790.0", "123456790.0"),
    ("-0.0", "-0.0", "-0.0"),
    ("1e-45", "1e-45", "1e-45"),
    ("nan", "nan", "null"),
    ("-inf", "-inf", "null"),
]


@pytest.mark.parametrize("value, csv_text, json_text", TRICKY, ids=[t[0] for t in TRICKY])
def test_float_texts(tmp_path, value, csv_text, json_text):
    value = float(value)
    path = tmp_path / "f.bin"
    path.write_bytes(packet(SENSOR, acc(value, 1, 2)) + packet(ESTIMATE, field(0x11, "dHH", value, 2300, 1)))
    dump(path, "--format", "csv", "-o", tmp_path / "out")
    row = (tmp_path / "out.DataSensor.csv").read_text().splitlines()[1]
    assert row == "0,0,nan," + csv_text + ",1.0,2.0"
    gps = (tmp_path / "out.DataEstimationFilter.csv").read_text().splitlines()[1]
    assert gps.split(",")[3] == float_text(value, np.dtype(np.float64))
    assert gps.split(",")[2] == float_text(2300 * 604800 + value, np.dtype(np.float64))
    line = dump(path, "--format", "jsonl").stdout.splitlines()[0]
    assert '"x": ' + json_text + ', "y": 1.0' in line


def test_records_option_limits_the_output(recording, tmp_path):
    r = dump(recording, "--format", "csv", "--records", "OrientationEuler,GyroBias", "-o", tmp_path / "o")
    assert r.returncode == 0
    assert not (tmp_path / "o.DataSensor.csv").exists()
    header = (tmp_path / "o.DataEstimationFilter.csv").read_text().splitlines()[0]
    assert header == (
        "packet,offset,time,OrientationEuler.roll,OrientationEuler.pitch,OrientationEuler.yaw,"
        "OrientationEuler.valid,GyroBias.x,GyroBias.y,GyroBias.z,GyroBias.valid"
    )
    text = dump(recording, "--records", "ScaledAccVector").stdout.splitlines()
    assert text[0].startswith("[Sensor(ScaledAccVector {") and text[0].count("Sensor(") == 1 and text[1] == "[]"


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["-h"], 0, ""),
        (["{rec}"], 0, "packets"),
        (["{tmp}/missing.bin"], 1, "No such file or directory"),
        (["{tmp}"], 1, "Is a directory"),
        (["{rec}", "-o", "{tmp}/no/such/dir/out.txt"], 1, "No such file or directory"),
        (["{rec}", "-o", "/dev/full"], 1, "/dev/full: No space left on device"),
        (["{rec}", "--format", "mcap", "-o", "/dev/full"], 1, "/dev/full: No space left on device"),
        (["{rec}", "--format", "xml"], 2, "invalid choice"),
        (["{rec}", "--format", "csv"], 2, "-o OUT"),
        (["{rec}", "--records", "Nothing"], 2, "unknown record Nothing"),
        ([], 2, "required"),
    ],
    ids=[
        "help",
        "ok",
        "missing",
        "directory",
        "unwritable",
        "full",
        "mcap-full",
        "format",
        "csv-prefix",
        "record",
        "no-file",
    ],
)
def test_exit_statuses(recording, tmp_path, args, status, message):
    r = dump(*[a.format(rec=recording, tmp=tmp_path) for a in args])
    assert r.returncode == status
    assert message in r.stderr
    if status == 1:
        assert len(r.stderr.splitlines()) == 1


def test_csv_columns_cover_records_that_appear_late(tmp_path):
    path = tmp_path / "late.bin"
    cf_euler = field(0x0C, "fff", 0.5, 0.25, 1.0)
    path.write_bytes(
        packet(SENSOR, acc())
        + packet(ESTIMATE, field(0x11, "dHH", 1.5, 2300, 1))
        + packet(SENSOR, acc(4.0, 5.0, 6.0) + cf_euler)
    )
    for records, tables in [
        (
            [],
            {
                "DataSensor": [
                    "packet,offset,time,ScaledAccVector.x,ScaledAccVector.y,ScaledAccVector.z,"
                    "CFEulerAngles.roll,CFEulerAngles.pitch,CFEulerAngles.yaw",
                    "0,0,nan,1.0,2.0,3.0,,,",
                    "2,40,nan,4.0,5.0,6.0,0.5,0.25,1.0",
                ],
                "DataEstimationFilter": [
                    "packet,offset,time,GPSTimestamp.time_of_week,GPSTimestamp.week,GPSTimestamp.valid_flags",
                    "1,20,1391040001.5,1.5,2300,Valid",
                ],
            },
        ),
        (
            ["--records", "CFEulerAngles"],
            {
                "DataSensor": [
                    "packet,offset,time,CFEulerAngles.roll,CFEulerAngles.pitch,CFEulerAngles.yaw",
                    "0,0,nan,,,",
                    "2,40,nan,0.5,0.25,1.0",
                ]
            },
        ),
    ]:
        for old in tmp_path.glob("out.*"):
            old.unlink()
        assert dump(path, "--format", "csv", *records, "-o", tmp_path / "out").returncode == 0
        written = {p.name.split(".")[1]: p.read_text().splitlines() for p in tmp_path.glob("out.*.csv")}
        assert written == tables


@pytest.mark.parametrize("fmt", ["text", "jsonl", "csv"])
def test_an_earlier_output_is_replaced_whole(clean, tmp_path, fmt):
    """Outputs that already exist, longer than the new ones, keep none of their old bytes."""
    fresh, old = tmp_path / "fresh", tmp_path / "old"
    dump(clean, "--format", fmt, "-o", fresh)
    suffixes = [".DataSensor.csv", ".DataEstimationFilter.csv"] if fmt == "csv" else [""]
    for suffix in suffixes:
        Path(f"{old}{suffix}").write_bytes(b"x" * (3 << 20))
    assert dump(clean, "--format", fmt, "-o", old).returncode == 0
    for suffix in suffixes:
        assert Path(f"{old}{suffix}").read_bytes() == Path(f"{fresh}{suffix}").read_bytes()


OUTPUT_FILES = {
    "text": ["out"],
    "jsonl": ["out"],
    "mcap": ["out"],
    "csv": ["out.DataSensor.csv", "out.DataEstimationFilter.csv"],
    "parquet": ["out/ScaledAccVector.parquet"],
}


@pytest.mark.parametrize("fmt", OUTPUT_FILES)
def test_an_export_with_nothing_to_write_leaves_the_earlier_output_alone(clean, tmp_path, fmt):
    """Nothing well-formed in the input fails the export (after the summary)
    and leaves every earlier output, and nothing else, in the folder."""
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    folder = tmp_path / "export"
    folder.mkdir()
    # an output folder the export would have made stays unmade
    assert dump(empty, "--format", fmt, "-o", folder / "out").returncode == 1
    assert list(folder.iterdir()) == []
    assert dump(clean, "--format", fmt, "-o", folder / "out").returncode == 0
    before = {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    assert {str(p.relative_to(folder)) for p in before} >= set(OUTPUT_FILES[fmt])
    r = dump(empty, "--format", fmt, "-o", folder / "out")
    assert r.returncode == 1 and "no well-formed packet" in r.stderr
    assert {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()} == before


def test_a_parquet_export_owns_the_tables_it_names(clean, tmp_path):
    """A second export into the same folder leaves no table of the first
    behind; files it would never write stay."""
    out = tmp_path / "out"
    assert dump(clean, "--format", "parquet", "-o", out).returncode == 0
    assert len(list(out.glob("*.parquet"))) > 2
    (out / "notes.txt").write_text("mine")
    (out / "Mine.parquet").write_text("not a record's name")
    assert dump(clean, "--format", "parquet", "--records", "ScaledAccVector,GPSTimestamp", "-o", out).returncode == 0
    assert sorted(p.name for p in out.iterdir()) == [
        "GPSTimestamp.parquet",
        "Mine.parquet",
        "ScaledAccVector.parquet",
        "notes.txt",
    ]


@pytest.mark.parametrize("form", ["text", "jsonl"])
def test_ctrl_c_ends_an_export_into_a_pipe_nobody_reads(tmp_path, form):
    # The writer waits on a full pipe; the export must give way all the same.
    source = tmp_path / "recording.bin"
    source.write_bytes(packet(SENSOR, acc(1.0, 2.0, 3.0)) * 50_000)
    proc = subprocess.Popen([str(DUMP), str(source), "--format", form], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        fd = proc.stdout.fileno()
        capacity = fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)
        # Half the pipe filled shows the export writing, past its start-up
        # where Ctrl-C is its to handle; it fills the rest at once and waits.
        assert wait_for(lambda: proc.poll() is not None or unread(fd) >= capacity // 2), proc.stderr.read()
        proc.send_signal(signal.SIGINT)
        # One is enough; more would only land in its exit, which on a busy
        # machine takes its time.
        assert proc.wait(timeout=60) == 130
    finally:
        proc.kill()
        proc.wait()
