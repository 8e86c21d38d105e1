"""A packet that holds a record twice, through every path: the outputs with
one value per record (read(), take(), JSON Lines, CSV) give its last
occurrence, the outputs that list records (read_packet(), the text line,
load()) give both, and the packet's time comes from its last time record."""

import csv
import json
import subprocess
import sys
from pathlib import Path

from conftest import run_python
from mip import SENSOR, acc, field, packet
from reader_sync import knock, wait_for, without_markers

import tavrin_ahrs_driver as m
from tavrin_ahrs_tools import load

WEEK = 2300
TWICE = packet(
    SENSOR,
    acc(1.0, 2.0, 3.0) + field(0x12, "dHH", 10.0, WEEK, 0) + acc(4.0, 5.0, 6.0) + field(0x12, "dHH", 20.0, WEEK, 0),
)
FIRST, LAST = {"x": 1.0, "y": 2.0, "z": 3.0}, {"x": 4.0, "y": 5.0, "z": 6.0}
TIME = WEEK * 604800 + 20.0


def dump(*args):
    ahrs_dump = Path(sys.executable).parent / "ahrs-dump"
    return subprocess.run([str(ahrs_dump), *map(str, args)], capture_output=True, text=True, timeout=60)


def test_one_value_per_record_is_the_last_occurrence(tmp_path, pty):
    path = tmp_path / "twice.bin"
    path.write_bytes(TWICE)

    client = m.AHRSClient()
    client.open_file(str(path))
    snapshot = client.read()
    assert list(snapshot) == ["type", "ScaledAccVector", "GPSCorrelationTimestamp"]
    assert snapshot["ScaledAccVector"] == LAST and snapshot["GPSCorrelationTimestamp"]["gps_time_of_week"] == 20.0

    buffered = m.BufferedAHRSClient(pty.path, 115200, 4, False)
    knock(pty.master, buffered)
    pty.send(TWICE)
    taken = []
    assert wait_for(lambda: taken.extend(without_markers(buffered.take())) or taken)
    assert [snap for _, snap in taken] == [snapshot]

    [line] = dump(path, "--format", "jsonl").stdout.splitlines()
    obj = json.loads(line)
    assert obj["time"] == TIME and obj["readings"]["ScaledAccVector"] == LAST
    assert list(obj["readings"]) == ["ScaledAccVector", "GPSCorrelationTimestamp"]

    assert dump(path, "--format", "csv", "-o", tmp_path / "out").returncode == 0
    with open(tmp_path / "out.DataSensor.csv", newline="") as f:
        [row] = list(csv.DictReader(f))
    assert float(row["time"]) == TIME and float(row["GPSCorrelationTimestamp.gps_time_of_week"]) == 20.0
    assert [float(row[f"ScaledAccVector.{k}"]) for k in "xyz"] == list(LAST.values())


def test_every_occurrence_where_records_are_listed(tmp_path):
    path = tmp_path / "twice.bin"
    path.write_bytes(TWICE)

    client = m.AHRSClient()
    client.open_file(str(path))
    readings = client.read_packet()
    assert readings[0] == FIRST and readings[2] == LAST and len(readings) == 4

    printed = run_python(f"import tavrin_ahrs_driver as m; m.parse_data_stream_py({str(path)!r})").out
    assert printed.count("ScaledAccVector") == 2 and printed == dump(path).stdout

    rec = load(path)
    table = rec.records["ScaledAccVector"]
    assert [dict(zip("xyz", map(float, (r["x"], r["y"], r["z"])))) for r in table] == [FIRST, LAST]
    assert list(table["time"]) == [TIME, TIME] and list(table["packet"]) == [0, 0]
    assert list(rec.records["GPSCorrelationTimestamp"]["gps_time_of_week"]) == [10.0, 20.0]
