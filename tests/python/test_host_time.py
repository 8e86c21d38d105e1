"""Host time of recordings: the sidecar read back, the device clock fitted
onto the host's, GPS time to UTC, and the one packet time the tables and
the replay share.

Recordings here are built packet by packet from a known truth: every packet
stands for a host instant, its device time comes from a device clock with
the skew and steps of the case, and it arrives later by a smallest delay
plus an exponential jitter, in reads that bunch what came in the same
millisecond, read when the last of them came. The sidecars are built by hand from the format's text.
"""

import calendar
import struct
import subprocess
import warnings

import numpy as np
import pytest
from conftest import installed_script
from mip import ESTIMATE, SENSOR, acc, euler, packet

from tavrin_ahrs_tools import frames, load
from tavrin_ahrs_tools.gpstime import GPS_EPOCH_UNIX, gps_to_unix, leap_seconds
from tavrin_ahrs_tools.replay import packet_time

WEEK = 604800.0
WALL_MINUS_MONO = 1_760_000_000_000_000_000  # ns
SMALLEST_DELAY = 150_000  # ns
RATE = 200  # packets per second


# --- building recordings and sidecars -------------------------------------------------


def zigzag_varint(value):
    value = (value + 2**63) % 2**64 - 2**63  # a delta of two int64 values wraps as the writer's does
    raw = ((value << 1) ^ (value >> 63)) & (2**64 - 1)
    out = bytearray()
    while True:
        low, raw = raw & 0x7F, raw >> 7
        out.append(low | (0x80 if raw else 0))
        if not raw:
            return bytes(out)


def sidecar(entries):
    """The sidecar's bytes: magic, then per read (end offset, monotonic ns,
    wall minus monotonic ns), each a delta from the entry before."""
    out, before = bytearray(b"AHRSTIM1"), (0, 0, 0)
    for entry in entries:
        out += b"".join(zigzag_varint(now - then) for now, then in zip(entry, before))
        before = entry
    return bytes(out)


def timed_packet(device_time, set_=SENSOR):
    """A packet of `set_` carrying `device_time` (None: no time record)."""
    body = acc() if set_ == SENSOR else b""
    if device_time is not None:
        week, tow = divmod(device_time, WEEK)
        body += frames.field(frames.GPS_TIME_FIELDS[set_], "dHH", tow, int(week), 1)
    return packet(set_, body)


def write_recording(path, device_times, truth_ns, sets=None, jitter_ns=1e6, seed=3, stall=None):
    """Writes the recording and its sidecar; returns each packet's true
    instant on the wall clock, ns, smallest delay included: what host_time
    can at best be. `stall` (start, end) in ns: nothing arrives in between,
    and what was sent then arrives at its end."""
    rng = np.random.default_rng(seed)
    sets = sets if sets is not None else [SENSOR] * len(device_times)
    data = [timed_packet(t, s) for t, s in zip(device_times, sets)]
    ends = np.cumsum([len(p) for p in data])
    jitter = rng.exponential(jitter_ns, len(truth_ns)) if jitter_ns else 0
    arrival = np.maximum.accumulate(truth_ns + SMALLEST_DELAY + jitter)
    if stall:
        arrival[(arrival >= stall[0]) & (arrival < stall[1])] = stall[1]
    bucket = np.floor(arrival / 1e6)  # what arrives within a millisecond goes in one read
    last_of_read = np.append(bucket[1:] != bucket[:-1], True)
    read_at = arrival.astype(np.int64)
    path.write_bytes(b"".join(data))
    entries = [(int(e), int(r), WALL_MINUS_MONO) for e, r in zip(ends[last_of_read], read_at[last_of_read])]
    path.with_name(path.name + ".times").write_bytes(sidecar(entries))
    return np.asarray(truth_ns, dtype=np.float64) + SMALLEST_DELAY + WALL_MINUS_MONO


def clock_case(kind, seconds=30.0, skew_ppm=50.0):
    """(device times, true host instants ns, packets to judge) for a clock story."""
    host = 7e9 + np.arange(int(seconds * RATE)) * (1e9 / RATE)
    elapsed = (host - host[0]) / 1e9
    device = 2345 * WEEK + 3600.0 + elapsed * (1 + skew_ppm * 1e-6)
    judged = np.ones(len(host), bool)
    half = elapsed >= seconds / 2
    if kind == "reset":
        device[half] -= 500.0
    elif kind == "leap forward":
        device[half] += 40.0
    elif kind == "week rollover":
        device += WEEK - device[len(device) // 2]
    elif kind == "frozen":
        stuck = half & (elapsed < seconds / 2 + 3)
        device[stuck] = device[np.argmax(stuck)]
        device[half & ~stuck] -= 3.0
        judged = ~stuck
    elif kind == "wandering drift":  # from 2.5 ppm below the skew to 2.5 above, as a crystal warms
        device += 5e-6 / seconds * (elapsed**2 / 2 - seconds * elapsed / 2)
    elif kind in ("reconnect gap", "long silence"):  # the device clock went on meanwhile
        gap = (seconds / 3, seconds / 3 + 5) if kind == "reconnect gap" else (10, seconds - 10)
        keep = (elapsed < gap[0]) | (elapsed > gap[1])
        host, device, judged = host[keep], device[keep], judged[keep]
    return device, host, judged


def errors(rec, truth, name="GPSCorrelationTimestamp", judged=None):
    table = rec.records[name]
    rows = table["packet"].astype(np.intp)
    err = np.abs(table["host_time"] - truth[rows] / 1e9)
    return err if judged is None else err[judged[rows]]


# --- the fit --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, skew_ppm, jitter_ns, segments",
    [
        ("steady", 50, 1e6, 1),
        ("steady", 200, 1e6, 1),
        ("steady", -200, 1e6, 1),
        ("steady", 50, 0, 1),
        ("week rollover", 50, 1e6, 1),
        ("reconnect gap", 50, 1e6, 1),
        ("reset", 50, 1e6, 2),
        ("leap forward", 50, 1e6, 2),
        ("frozen", 50, 1e6, 2),
        ("stalled link", 50, 1e6, 1),
        ("long silence", 50, 1e6, 1),
        ("wandering drift", 50, 1e6, 1),
    ],
)
def test_host_time_finds_the_true_instant_through_the_jitter(tmp_path, kind, skew_ppm, jitter_ns, segments):
    seconds = {"long silence": 300, "wandering drift": 600}.get(kind, 30)
    device, host, judged = clock_case(kind, skew_ppm=skew_ppm, seconds=seconds)
    stall = (host[0] + 10e9, host[0] + 11.5e9) if kind == "stalled link" else None
    truth = write_recording(tmp_path / "r.bin", device, host, jitter_ns=jitter_ns, stall=stall)
    rec = load(tmp_path / "r.bin")
    fit = rec.host_clock["DataSensor"]
    assert fit["segments"] == segments
    assert fit["drift_ppm"] == pytest.approx(skew_ppm, abs=2)
    err = errors(rec, truth, judged=judged)
    assert np.percentile(err, 99) < 30e-6, np.percentile(err, 99)
    assert err.max() < 1e-3


def test_each_set_follows_its_own_clock(tmp_path):
    """Filter packets stamped a quarter second behind the sensor's, interleaved."""
    device, host, _ = clock_case("steady")
    both_device = np.repeat(device, 2)
    both_device[1::2] -= 0.25
    both_host = np.repeat(host, 2)
    sets = [SENSOR, ESTIMATE] * len(device)
    truth = write_recording(tmp_path / "r.bin", both_device, both_host, sets=sets)
    rec = load(tmp_path / "r.bin")
    assert rec.host_clock.keys() == {"DataSensor", "DataEstimationFilter"}
    for name in ("GPSCorrelationTimestamp", "GPSTimestamp"):
        assert np.percentile(errors(rec, truth, name), 99) < 30e-6


def test_a_packet_without_time_keeps_its_arrival_but_gets_no_host_time(tmp_path):
    device, host, _ = clock_case("steady", seconds=2)
    times = [None if i % 5 == 0 else t for i, t in enumerate(device)]
    write_recording(tmp_path / "r.bin", times, host)
    table = load(tmp_path / "r.bin").records["ScaledAccVector"]
    untimed = np.isnan(table["time"])
    assert untimed.sum() == len(device) // 5
    assert np.isnan(table["host_time"][untimed]).all() and not np.isnan(table["host_time"][~untimed]).any()
    assert (table["arrival_ns"] > WALL_MINUS_MONO).all()


# --- the sidecar ----------------------------------------------------------------------


@pytest.fixture
def three_packets(tmp_path):
    """A recording of three 34-byte packets; the second arrives in two reads."""
    path = tmp_path / "r.bin"
    data = b"".join(timed_packet(2345 * WEEK + i) for i in range(3))
    assert len(data) == 102
    path.write_bytes(data)
    return path


READS = [(20, 1_000, 5), (50, 2_000, 5), (68, 3_000, -7), (102, 4_000, -7)]  # the wall clock stepped back


def test_each_packet_takes_the_read_that_completed_it(three_packets):
    three_packets.with_name("r.bin.times").write_bytes(sidecar(READS))
    table = load(three_packets).records["GPSCorrelationTimestamp"]
    assert table["arrival_ns"].tolist() == [2_005, 2_993, 3_993]


def test_numbers_of_the_full_64_bits_are_read(three_packets):
    """Zigzag deltas of 2**63 and more take all ten bytes of a number."""
    reads = [(34, 2**62, -(2**62) + 5), (68, -(2**62), 2**62 + 6), (102, 0, 7)]
    data = sidecar(reads)
    assert b"\x80" * 9 + b"\x01" in data and b"\xff" * 9 + b"\x01" in data
    three_packets.with_name("r.bin.times").write_bytes(data)
    assert load(three_packets).records["GPSCorrelationTimestamp"]["arrival_ns"].tolist() == [5, 6, 7]


@pytest.mark.parametrize("kept", [1, 2, 3], ids=["one number", "mid-number", "two numbers"])
def test_a_torn_last_entry_is_left_out(three_packets, kept):
    whole = sidecar(READS)
    last = len(sidecar(READS[:3]))
    assert len(whole) - last == 4  # the last entry's numbers take 1, 2 and 1 bytes
    three_packets.with_name("r.bin.times").write_bytes(whole[: last + kept])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        table = load(three_packets).records["GPSCorrelationTimestamp"]
    assert table["arrival_ns"].tolist() == [2_005, 2_993, np.iinfo(np.int64).min]
    assert np.isnan(table["host_time"][2])


@pytest.mark.parametrize(
    "content, says",
    [
        (b"AHRSTIM2" + sidecar(READS)[8:], "no AHRSTIM1 magic"),
        (b"", "no AHRSTIM1 magic"),
        (sidecar([(68, 1, 0), (20, 2, 0)]), "offset goes backwards"),
        (b"AHRSTIM1" + b"\xff" * 10 + b"\x01", "longer than 64 bits"),
    ],
)
def test_a_damaged_sidecar_is_named_and_the_recording_loads_without_host_time(three_packets, content, says):
    three_packets.with_name("r.bin.times").write_bytes(content)
    with pytest.warns(UserWarning, match=says):
        rec = load(three_packets)
    assert rec.host_clock is None and "host_time" not in rec.records["GPSCorrelationTimestamp"].dtype.names
    assert rec.packets == 3


@pytest.mark.parametrize("layout", ["rows", "columns"])
def test_without_a_sidecar_nothing_is_added_and_nothing_said(three_packets, layout):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rec = load(three_packets, layout=layout)
    assert rec.host_clock is None
    assert rec.records["GPSCorrelationTimestamp"].dtype.names[-1] == "timestamp_flags"


def test_both_layouts_and_arrow_carry_the_host_columns(three_packets):
    pytest.importorskip("pyarrow")
    three_packets.with_name("r.bin.times").write_bytes(sidecar(READS))
    rows = load(three_packets).records["GPSCorrelationTimestamp"]
    columns = load(three_packets, layout="columns")
    arrow = columns.to_arrow("GPSCorrelationTimestamp")
    for name in ("arrival_ns", "host_time"):
        assert columns.records["GPSCorrelationTimestamp"][name].tolist() == rows[name].tolist()
        assert arrow.column(name).to_pylist() == rows[name].tolist()


# --- UTC ------------------------------------------------------------------------------


def gps_of(year, month, day, hour=0, minute=0, second=0, leap=0):
    return calendar.timegm((year, month, day, hour, minute, second)) - GPS_EPOCH_UNIX + leap


@pytest.mark.parametrize(
    "gps, utc",
    [
        (gps_of(2015, 6, 30, 23, 59, 59, leap=16), "2015-06-30 23:59:59"),
        (gps_of(2015, 7, 1, leap=17), "2015-07-01 00:00:00"),
        (gps_of(2016, 12, 31, 23, 59, 59, leap=17), "2016-12-31 23:59:59"),
        (gps_of(2016, 12, 31, 23, 59, 59, leap=17) + 1.5, "2017-01-01 00:00:00"),  # inside 23:59:60: held
        (gps_of(2017, 1, 1, leap=18), "2017-01-01 00:00:00"),
        (gps_of(2017, 1, 1, 0, 0, 1, leap=18) + 0.25, "2017-01-01 00:00:01.250"),
        (gps_of(1980, 1, 6), "1980-01-06 00:00:00"),
    ],
)
def test_gps_time_becomes_utc_by_the_real_leap_seconds(gps, utc):
    pd = pytest.importorskip("pandas")
    assert pd.Timestamp(gps_to_unix(float(gps)), unit="s") == pd.Timestamp(utc)
    assert gps_to_unix(np.array([gps, np.nan]))[0] == gps_to_unix(float(gps))


def test_leap_count_and_nan():
    assert [leap_seconds(gps_of(y, 1, 2, leap=18)) for y in (1980, 2000, 2016, 2017, 2030)] == [0, 13, 17, 18, 18]
    assert np.isnan(gps_to_unix(float("nan"))) and np.isnan(gps_to_unix(np.array([np.nan]))).all()


def test_to_pandas_indexes_by_utc_and_by_host_time(tmp_path):
    pd = pytest.importorskip("pandas")
    start = gps_of(2016, 12, 31, 23, 59, 58, leap=17)
    device, host = start + np.arange(4) * 1.0, 7e9 + np.arange(4) * 1e9
    write_recording(tmp_path / "r.bin", device, host, jitter_ns=0)
    rec = load(tmp_path / "r.bin")
    utc = rec.to_pandas("GPSCorrelationTimestamp", index="utc").index
    assert str(utc.tz) == "UTC" and utc.name == "utc"
    assert [t.strftime("%H:%M:%S") for t in utc] == ["23:59:58", "23:59:59", "00:00:00", "00:00:00"]
    hosted = rec.to_pandas("GPSCorrelationTimestamp", index="host").index
    assert str(hosted.tz) == "UTC"
    expected = pd.Timestamp(WALL_MINUS_MONO + 7_000_000_000 + SMALLEST_DELAY, unit="ns", tz="UTC")
    assert abs(hosted[0] - expected) < pd.Timedelta(1, "us")  # float64 seconds: a fraction of a microsecond
    (tmp_path / "r.bin.times").unlink()
    with pytest.raises(ValueError, match="no host time"):
        load(tmp_path / "r.bin").to_pandas("GPSCorrelationTimestamp", index="host")


# --- one packet time ------------------------------------------------------------------


def gps_field(descriptor, tow, week=2345, flag=1, formats="dHH"):
    return frames.field(descriptor, formats, *(tow, week, flag)[: len(formats)])


@pytest.mark.parametrize(
    "set_, record, fields, expected",
    [
        # several: the last
        (SENSOR, "ScaledAccVector", gps_field(0x12, 10.0) + gps_field(0x12, 20.0), 20.0),
        # a field too short for its items is no time record
        (SENSOR, "ScaledAccVector", gps_field(0x12, 10.0) + gps_field(0x12, 20.0, formats="dH"), 10.0),
        # nor is one whose validity flag is neither 0 nor 1
        (ESTIMATE, "OrientationEuler", gps_field(0x11, 10.0) + gps_field(0x11, 20.0, flag=2), 10.0),
        (ESTIMATE, "OrientationEuler", gps_field(0x11, 10.0, flag=0), 10.0),
        # nor one cut short by the end of the payload
        (SENSOR, "ScaledAccVector", gps_field(0x12, 10.0) + bytes((14, 0x12)) + struct.pack(">dH", 20.0, 2345), 10.0),
        (SENSOR, "ScaledAccVector", b"", None),
    ],
    ids=["last", "short", "flag-2", "flag-0", "cut-short", "none"],
)
def test_the_replay_and_the_tables_give_a_packet_one_time(tmp_path, set_, record, fields, expected):
    body = (acc() if set_ == SENSOR else euler()) + fields
    raw = packet(set_, body)
    path = tmp_path / "r.bin"
    path.write_bytes(raw)
    (scanned,) = frames.PacketScanner().feed(raw)
    table_time = load(path).records[record]["time"][0]
    if expected is None:
        assert np.isnan(table_time) and packet_time(scanned) is None
    else:
        assert table_time == packet_time(scanned) == 2345 * WEEK + expected


# --- ahrs-info ------------------------------------------------------------------------


def test_info_reports_the_fitted_drift_and_the_spread(tmp_path):
    device, host, _ = clock_case("steady", seconds=10, skew_ppm=-120)
    write_recording(tmp_path / "r.bin", device, host)
    done = subprocess.run(
        [installed_script("ahrs-info"), str(tmp_path / "r.bin")], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    line = next(x for x in done.stdout.splitlines() if x.strip().startswith("DataSensor: drift"))
    assert float(line.split("drift ")[1].split(" ppm")[0]) == pytest.approx(-120, abs=2)
    assert "1 segment" in line and "p99" in line
    (tmp_path / "r.bin.times").unlink()
    done = subprocess.run(
        [installed_script("ahrs-info"), str(tmp_path / "r.bin")], capture_output=True, text=True, timeout=60
    )
    assert "Host time: none" in done.stdout


# --- ahrs-record's trimming -----------------------------------------------------------


def test_trimming_a_recording_cuts_its_sidecar_to_match(tmp_path):
    """Junk before the first packet and half a packet after the last go;
    every packet keeps the arrival it had."""
    from tavrin_ahrs_tools.record import packet_span, trim

    packets = [timed_packet(2345 * WEEK + i) for i in range(3)]
    data = b"\x00\x75junk" + b"".join(packets) + packets[0][:9]
    path = tmp_path / "r.bin"
    path.write_bytes(data)
    reads = [(4, 100, 1), (6 + 34, 200, 1), (6 + 80, 300, 2), (len(data) - 3, 400, 2), (len(data), 500, 3)]
    (tmp_path / "r.bin.times").write_bytes(sidecar(reads))
    before = load(path).records["GPSCorrelationTimestamp"]["arrival_ns"].tolist()
    first, last, count = packet_span(str(path))
    assert (first, last, count) == (6, 6 + 3 * 34, 3)
    trim(str(path), first, last)
    assert path.read_bytes() == b"".join(packets)
    assert load(path).records["GPSCorrelationTimestamp"]["arrival_ns"].tolist() == before == [201, 302, 402]


# --- Parquet --------------------------------------------------------------------------


@pytest.mark.parametrize("writer", ["ahrs-dump", "ahrs-dataset"])
def test_the_parquet_files_carry_both_host_columns(tmp_path, writer):
    pq = pytest.importorskip("pyarrow.parquet")
    device, host, _ = clock_case("steady", seconds=2)
    truth = write_recording(tmp_path / "r.bin", device, host)
    if writer == "ahrs-dump":
        subprocess.run(
            [
                installed_script("ahrs-dump"),
                str(tmp_path / "r.bin"),
                "--format",
                "parquet",
                "-o",
                str(tmp_path / "out"),
            ],
            check=True,
            capture_output=True,
            timeout=60,
        )
        written = tmp_path / "out" / "GPSCorrelationTimestamp.parquet"
    else:
        from tavrin_ahrs_tools.dataset import convert

        assert convert(str(tmp_path / "r.bin"), "r", str(tmp_path / "out")).get("error") is None
        written = tmp_path / "out" / "record=GPSCorrelationTimestamp" / "recording=r" / "part-0.parquet"
    table = pq.read_table(written)
    assert str(table.schema.field("arrival_ns").type) == "int64"
    assert np.percentile(np.abs(table.column("host_time").to_numpy() - truth / 1e9), 99) < 30e-6
