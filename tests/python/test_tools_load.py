"""load(): a recording as numpy tables, checked against the driver's own
reading of the same file, against crafted damaged files, and under Ctrl-C."""

import math

import numpy as np
import pytest
from conftest import run_python, simulator_recording
from mip import ESTIMATE, SENSOR, acc, corrupted, euler, field, packet

import tavrin_ahrs_driver as m
from tavrin_ahrs_tools import load, units
from tavrin_ahrs_tools.recording import record_dtypes


@pytest.fixture(scope="module")
def sim_recording(tmp_path_factory):
    return simulator_recording(tmp_path_factory.mktemp("sim") / "flight.bin", 5)


def driver_snapshots(path, count):
    client = m.AHRSClient()
    client.open_file(str(path))
    return [client.read() for _ in range(count)]


def same(value, expected):
    if isinstance(expected, str):
        return bool(value) == (expected == "Valid")
    return float(value) == expected or (math.isnan(expected) and math.isnan(float(value)))


def gps_time(snapshot):
    """The snapshot's GPS time in seconds, from its set's time record."""
    for name, tow, week in (
        ("GPSCorrelationTimestamp", "gps_time_of_week", "gps_week"),
        ("GPSTimestamp", "time_of_week", "week"),
    ):
        if name in snapshot:
            return snapshot[name][week] * 604800 + snapshot[name][tow]
    return math.nan


def test_columns_equal_the_drivers_readings(sim_recording):
    rec = load(sim_recording)
    snapshots = driver_snapshots(sim_recording, rec.packets)
    assert rec.packets > 500 and all(snapshots)
    assert (rec.skipped_bytes, rec.damaged.tolist(), rec.truncated) == (0, [], False)
    data = sim_recording.read_bytes()
    seen = set()
    for name, table in rec.records.items():
        assert table.dtype.names[:3] == ("packet", "offset", "time")
        for row in table:
            expected = snapshots[row["packet"]][name]
            assert list(table.dtype.names[3:]) == list(expected)
            assert same(row["time"], gps_time(snapshots[row["packet"]]))
            assert all(same(row[k], v) for k, v in expected.items()), (name, row, expected)
            assert data[row["offset"] : row["offset"] + 2] == b"ue"
            seen.add((int(row["packet"]), name))
    assert seen == {(i, k) for i, s in enumerate(snapshots) for k in s if k != "type"}
    kinds = [s["type"] for s in snapshots]
    assert rec.sets == {"DataSensor": kinds.count("sensor"), "DataEstimationFilter": kinds.count("estimate")}


def test_items_keep_their_wire_width(sim_recording):
    rec = load(sim_recording)
    assert rec.records["ScaledAccVector"].dtype["x"] == np.float32
    gps = rec.records["GPSCorrelationTimestamp"].dtype
    assert (gps["gps_time_of_week"], gps["gps_week"]) == (np.float64, np.uint16)
    assert rec.records["OrientationEuler"].dtype["valid"] == np.bool_
    assert rec.records["ScaledAccVector"].flags.writeable
    assert rec.records["ScaledAccVector"].dtype["time"] == np.float64
    frame = rec.to_pandas("CFEulerAngles")
    assert list(frame.columns) == ["packet", "offset", "time", "roll", "pitch", "yaw"]
    assert len(frame) == len(rec.records["CFEulerAngles"])
    timed = rec.to_pandas("CFEulerAngles", index="time")
    assert timed.index.name == "time" and list(timed.columns) == ["packet", "offset", "roll", "pitch", "yaw"]
    assert (timed.index.to_numpy() == rec.records["CFEulerAngles"]["time"]).all()
    assert timed.index.is_monotonic_increasing


# A unit against what the simulated sensor sends: the size of the vector
# (or the value) the record's items make, in that unit.
UNIT_CHECKS = [
    ("ScaledAccVector", "g", 0.9, 1.1),  # gravity
    ("DeltaVelocityVector", "g*s", 0.009, 0.011),  # gravity over one 10 ms sample
    ("GravityVector", "m/s^2", 9.0, 10.5),
    ("WGS84LocalGravityMagnitude", "m/s^2", 9.0, 10.5),
    ("ScaledGyroVector", "rad/s", 0.0, 1.0),
    ("ScaledMageVector", "gauss", 0.2, 0.7),  # the Earth's field
    ("ScaledAmbientPressure", "mbar", 900.0, 1100.0),
    ("PressureAltitude", "m", 0.0, 9000.0),
    ("CFEulerAngles", "rad", 0.0, 2 * math.pi),
    ("GPSTimestamp", "s", 0.0, 604800.0),  # time of week
]


@pytest.mark.parametrize("name, unit, low, high", UNIT_CHECKS, ids=[c[0] for c in UNIT_CHECKS])
def test_units_agree_with_the_data(sim_recording, name, unit, low, high):
    table = load(sim_recording).records[name]
    items = [k for k in table.dtype.names[3:] if k not in ("valid", "valid_flags", "week")]
    assert units()[name][items[0]] == unit
    size = np.sqrt(sum(table[k].astype(float) ** 2 for k in items))
    assert low <= size.min() and size.max() <= high


def test_units_name_every_column_but_packet_and_offset():
    names = {name: list(dtype.names[2:]) for name, dtype in record_dtypes().items()}
    assert {name: list(u) for name, u in units().items()} == names
    every = {unit for u in units().values() for unit in u.values()}
    assert every == {"", "unknown", "s", "week", "rad", "rad/s", "g*s", "m/s^2", "g", "gauss", "mbar", "m"}
    assert units()["CFStabilizedNorthVector"] == {"time": "s", "x": "unknown", "y": "unknown", "z": "unknown"}


GOOD = packet(SENSOR, acc(1.0, 2.0, 3.0))
EST = packet(ESTIMATE, euler(valid=0) + field(0x11, "dHH", 12.5, 2300, 1))
OTHER = packet(0x01, b"\x02\x02")  # a command-set packet: well-formed, no records

# Each file as its parts: good packets (True) and damage (False).
DAMAGED_FILES = {
    "clean": ([(True, GOOD), (True, EST), (True, OTHER)], False),
    "stray bytes": ([(True, GOOD), (False, b"\x00\x01\x02"), (True, EST)], False),
    "stray byte then sync": ([(False, b"\x00"), (True, GOOD), (False, b"\x75"), (True, GOOD)], False),
    "bad checksum": ([(True, GOOD), (False, corrupted(EST)), (True, GOOD)], False),
    "unknown set": ([(False, b"\x75\x65\x02\x00\x00\x00"), (True, EST)], False),
    "false header": ([(False, b"\x75\x65\x80\xff"), (True, GOOD), (True, EST)], False),
    "two runs": ([(False, b"zz"), (True, GOOD), (False, corrupted(GOOD)), (True, EST)], False),
    "truncated end": ([(True, GOOD), (False, EST[:-3])], True),
    "cut after sync": ([(True, GOOD), (False, b"\x75")], True),
    "stray last byte": ([(True, GOOD), (False, b"\x00")], False),
    "only damage": ([(False, b"\x01\x02\x03\x04\x05")], False),
    "empty": ([], False),
}


@pytest.mark.parametrize("parts, truncated", DAMAGED_FILES.values(), ids=DAMAGED_FILES.keys())
def test_damaged_files(tmp_path, parts, truncated):
    path = tmp_path / "f.bin"
    path.write_bytes(b"".join(p for _, p in parts))
    with_records, packets, runs, skipped, at = [], 0, [], 0, 0
    for good, part in parts:
        if good:
            packets += 1
            if part != OTHER:
                with_records.append(at)
        else:
            skipped += len(part)
            if not runs or runs[-1][1] != at:
                runs.append([at, at])
            runs[-1][1] = at + len(part)
        at += len(part)

    rec = load(path)
    assert rec.skipped_bytes == skipped
    assert rec.damaged.tolist() == [start for start, _ in runs]
    assert rec.truncated is truncated
    assert rec.packets == packets
    assert sorted({int(o) for t in rec.records.values() for o in t["offset"]}) == with_records
    assert sum(rec.sets.values()) == rec.packets


@pytest.mark.parametrize("name", ["missing.bin", "."], ids=["missing", "directory"])
def test_unreadable_file_raises_oserror(tmp_path, name):
    with pytest.raises(OSError):
        load(tmp_path / name)


# How the source keeps the scan waiting: a sparse gigabyte of zeros (one
# endless damaged run, far longer to scan than the bound below), a FIFO that
# no writer opens (open(2) waits), and one whose writer stays idle (read(2)
# waits).
SOURCES = {
    "long_file": "with open(path, 'wb') as f: f.truncate(1 << 30)",
    "fifo_without_writer": "os.mkfifo(path)",
    "fifo_with_idle_writer": "os.mkfifo(path); writer = os.open(path, os.O_RDWR)",
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize(
    "call",
    [
        "load(path)",
        "_native.dump(path, 'jsonl', '', os.devnull, None)",  # what ahrs-dump runs
    ],
    ids=["load", "dump"],
)
def test_ctrl_c_interrupts_a_scan(tmp_path, call, source):
    # The interrupt is aimed at the main thread from another one, which can
    # only run because the scan does not hold the interpreter lock.
    r = run_python(
        f"""
        import os, signal, threading
        from tavrin_ahrs_tools import _native, load
        path = {str(tmp_path / "recording")!r}
        {SOURCES[source]}
        main = threading.main_thread().ident
        threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT)).start()
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted")
        """,
        timeout=30,
    )
    assert r.out.strip() == "interrupted", r.err


def test_without_numpy_says_what_to_install(tmp_path):
    r = run_python(f"""
        import sys
        sys.modules["numpy"] = None  # as if it were not installed
        import tavrin_ahrs_driver
        from tavrin_ahrs_tools import load
        try:
            load({str(tmp_path / "x.bin")!r})
        except ImportError as e:
            print(e)
        """)
    assert r.out.strip() == "load() needs numpy: pip install 'tavrin_ahrs_driver[tools]'", r.err
