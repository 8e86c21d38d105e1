"""ROS 2 messages from a recording: the MCAP export read back through the
mcap library's ROS 2 decoder, the rosbag2 folder through rosbags, both held
against load() converted to SI; the east-north-up turn; and stamps for
packets whose time can't be written."""

import math
import subprocess

import numpy as np
import pytest
from conftest import installed_script, simulator_recording
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory
from mip import ESTIMATE, SENSOR, acc, field, packet
from test_tools_analysis import run

from tavrin_ahrs_tools import load

GPS_TO_UNIX = 315_964_800 - 18
G = 9.80665
# topic -> records whose packets carry it
TOPIC_RECORDS = {
    "/imu/data_raw": ("ScaledAccVector", "ScaledGyroVector"),
    "/imu/data": ("OrientationQuaternion", "CompensatedAngularRate", "CompensatedAcceleration"),
    "/imu/mag": ("ScaledMageVector",),
    "/imu/pressure": ("ScaledAmbientPressure",),
    "/imu/time_reference": ("GPSCorrelationTimestamp", "GPSTimestamp"),
    "/tf": ("OrientationQuaternion",),
}


@pytest.fixture(scope="module")
def flight(tmp_path_factory):
    return simulator_recording(tmp_path_factory.mktemp("ros2") / "flight.bin", 3)


def export(source, out, *options, fmt="mcap"):
    done = run("ahrs-dump", source, "--format", fmt, "-o", out, *options)
    assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
    return done


def mcap_messages(path):
    """{topic: [(log time, decoded message)]}, and the file's schemas by name."""
    out = {}
    with open(path, "rb") as f:
        reader = make_reader(f, decoder_factories=[DecoderFactory()])
        schemas = {
            s.name: (s.encoding, c.message_encoding)
            for _id, c in reader.get_summary().channels.items()
            for s in [reader.get_summary().schemas[c.schema_id]]
        }
        for _schema, channel, message, decoded in reader.iter_decoded_messages(log_time_order=False):
            out.setdefault(channel.topic, []).append((message.log_time, decoded))
    return out, schemas


def si(table, items, scale=1.0):
    return np.column_stack([table[i].astype("f8") for i in items]) * scale


def stamp_ns(header):
    return header.stamp.sec * 1_000_000_000 + header.stamp.nanosec


def vec(v):
    return [v.x, v.y, v.z]


def expected_stamps(rec, packets):
    times = {}
    for name, (tow, week) in (
        ("GPSCorrelationTimestamp", ("gps_time_of_week", "gps_week")),
        ("GPSTimestamp", ("time_of_week", "week")),
    ):
        t = rec.records[name]
        for p, value in zip(t["packet"], t[week] * 604800.0 + t[tow]):
            times[int(p)] = round((value + GPS_TO_UNIX) * 1e9)
    return [times[int(p)] for p in packets]


def test_mcap_holds_one_message_per_packet_in_si(flight, tmp_path):
    export(flight, tmp_path / "out.mcap")
    topics, schemas = mcap_messages(tmp_path / "out.mcap")
    rec = load(flight)
    assert schemas["sensor_msgs/msg/Imu"] == ("ros2msg", "cdr")
    for topic, records in TOPIC_RECORDS.items():
        packets = sorted(set().union(*(rec.records[r]["packet"].tolist() for r in records)))
        if topic != "/imu/time_reference":  # both kinds of packet carry a time
            assert len(topics[topic]) == len(packets), topic
        for log_time, message in topics[topic][:3]:
            header = message.transforms[0].header if topic == "/tf" else message.header
            assert stamp_ns(header) == log_time
    packets = rec.records["ScaledAccVector"]["packet"]
    assert [t for t, _ in topics["/imu/data_raw"]] == expected_stamps(rec, packets)

    raw = [m for _t, m in topics["/imu/data_raw"]]
    assert {m.header.frame_id for m in raw} == {"imu_link_ned"}
    assert all(m.orientation_covariance[0] == -1 for m in raw)
    np.testing.assert_allclose(
        [vec(m.linear_acceleration) for m in raw], si(rec.records["ScaledAccVector"], "xyz", 9.80665), rtol=1e-6
    )  # declared in g
    np.testing.assert_allclose(
        [vec(m.angular_velocity) for m in raw], si(rec.records["ScaledGyroVector"], "xyz"), rtol=1e-6
    )

    data = [m for _t, m in topics["/imu/data"]]
    q = rec.records["OrientationQuaternion"]
    np.testing.assert_allclose(
        [[m.orientation.x, m.orientation.y, m.orientation.z, m.orientation.w] for m in data], si(q, "xyzw"), rtol=1e-6
    )
    sigma = si(rec.records["AttitudeUncertaintyEuler"], ("roll", "pitch", "yaw"))
    np.testing.assert_allclose([np.asarray(m.orientation_covariance)[[0, 4, 8]] for m in data], sigma**2, rtol=1e-6)
    assert all(m.linear_acceleration_covariance[0] == 0 for m in data)  # known field, unknown covariance

    np.testing.assert_allclose(
        [vec(m.magnetic_field) for _t, m in topics["/imu/mag"]],
        si(rec.records["ScaledMageVector"], "xyz", 1e-4),
        rtol=1e-6,
    )
    np.testing.assert_allclose(
        [m.fluid_pressure for _t, m in topics["/imu/pressure"]],
        rec.records["ScaledAmbientPressure"]["ambient_pressure"] * 100.0,
        rtol=1e-6,
    )
    tf = topics["/tf"][0][1].transforms[0]
    assert (tf.header.frame_id, tf.child_frame_id) == ("map_ned", "imu_link_ned")
    ref = topics["/imu/time_reference"][0][1]
    assert ref.source == "gps" and stamp_ns(ref.header) == ref.time_ref.sec * 10**9 + ref.time_ref.nanosec


def test_rosbag2_folder_reads_back_through_rosbags(flight, tmp_path):
    from rosbags.rosbag2 import Reader
    from rosbags.typesys import Stores, get_typestore

    export(flight, tmp_path / "flight.mcap")
    export(flight, tmp_path / "bag", fmt="rosbag2")
    topics, _ = mcap_messages(tmp_path / "flight.mcap")
    store = get_typestore(Stores.ROS2_HUMBLE)
    got = {}
    with Reader(tmp_path / "bag") as bag:
        assert {c.topic: c.msgcount for c in bag.connections} == {t: len(m) for t, m in topics.items()}
        assert bag.message_count == sum(map(len, topics.values()))
        for connection, log_time, data in bag.messages():
            got.setdefault(connection.topic, []).append((log_time, store.deserialize_cdr(data, connection.msgtype)))
    acc_bag = [(t, vec(m.linear_acceleration), m.header.frame_id) for t, m in got["/imu/data"]]
    acc_mcap = [(t, vec(m.linear_acceleration), m.header.frame_id) for t, m in topics["/imu/data"]]
    assert acc_bag == acc_mcap


def matrix(q):
    x, y, z, w = q
    return np.array(
        [
            [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
        ]
    )


def test_enu_turns_vectors_and_orientation(flight, tmp_path):
    export(flight, tmp_path / "ned.mcap")
    export(flight, tmp_path / "enu.mcap", "--enu")
    ned, _ = mcap_messages(tmp_path / "ned.mcap")
    enu, _ = mcap_messages(tmp_path / "enu.mcap")
    flip = np.diag([1.0, -1.0, -1.0])  # forward-right-down -> forward-left-up
    world = np.array([[0.0, 1, 0], [1, 0, 0], [0, 0, -1]])  # north-east-down -> east-north-up
    for (_t, a), (_u, b) in list(zip(ned["/imu/data"], enu["/imu/data"]))[::50]:
        assert b.header.frame_id == "imu_link"
        np.testing.assert_allclose(vec(b.linear_acceleration), flip @ vec(a.linear_acceleration), atol=1e-12)
        qa = [a.orientation.x, a.orientation.y, a.orientation.z, a.orientation.w]
        qb = [b.orientation.x, b.orientation.y, b.orientation.z, b.orientation.w]
        np.testing.assert_allclose(matrix(qb), world @ matrix(qa) @ flip, atol=1e-6)  # float32 quaternions
    up = matrix(qb) @ vec(b.linear_acceleration)  # specific force, in the world: +g on up
    assert up[2] == pytest.approx(G, rel=0.05)
    assert enu["/tf"][0][1].transforms[0].header.frame_id == "map"


def timed(tow, week=2345):
    return packet(SENSOR, acc() + field(0x12, "dHH", tow, week, 7))


@pytest.mark.parametrize("profile", ["ros2", "raw"])
def test_unusable_times_take_a_neighbours_and_are_counted(tmp_path, profile):
    good = 345600.0
    source = tmp_path / "times.bin"
    source.write_bytes(
        timed(math.inf) + timed(good) + timed(-1e13) + timed(math.nan) + timed(good + 1) + timed(good, week=3600)
    )  # 2049: past a ROS stamp's seconds
    done = export(source, tmp_path / "out.mcap", "--profile", profile, "--conventions", "ned")
    assert "ahrs-dump: 4 packets had no usable time" in done.stderr
    with open(tmp_path / "out.mcap", "rb") as f:
        times = [
            m.log_time
            for _s, c, m in make_reader(f).iter_messages(log_time_order=False)
            if c.topic in ("/imu/data_raw", "/ScaledAccVector")
        ]
    first, second = [round((2345 * 604800 + t + GPS_TO_UNIX) * 1e9) for t in (good, good + 1)]
    assert times == [first, first, first, first, second, second]


@pytest.mark.parametrize(
    "written, options, frames",
    [
        ("xyzw,world_to_body,ZYX,ned", (), ("map_ned", "imu_link_ned")),
        ("wxyz,body_to_world,YZX,ned", (), ("map_ned", "imu_link_ned")),
        ("wxyz,body_to_world,XYZ,enu", (), ("map", "imu_link")),
        ("wxyz,body_to_world,XYZ,enu", ("--enu",), ("map", "imu_link")),  # already east-north-up: as it is
    ],
)
def test_orientation_follows_the_conventions(tmp_path, written, options, frames):
    source = tmp_path / "f.bin"
    subprocess.run(
        [installed_script("ahrs-sim"), "--record", str(source), "--seconds", "2", "--convention", written],
        check=True,
        capture_output=True,
        timeout=120,
    )
    export(source, tmp_path / "out.mcap", *options)
    topics, _ = mcap_messages(tmp_path / "out.mcap")
    rec = load(source)
    want = rec.rotation("OrientationQuaternion").as_quat()  # x, y, z, w
    tf = [m.transforms[0] for _t, m in topics["/tf"]]
    assert {(t.header.frame_id, t.child_frame_id) for t in tf} == {frames}
    for got in (
        [[m.orientation.x, m.orientation.y, m.orientation.z, m.orientation.w] for _t, m in topics["/imu/data"]],
        [[t.transform.rotation.x, t.transform.rotation.y, t.transform.rotation.z, t.transform.rotation.w] for t in tf],
    ):
        got = np.asarray(got)
        got *= np.sign(np.sum(got * want, axis=1))[:, None]  # q and -q are one rotation
        np.testing.assert_allclose(got, want, atol=1e-6)


def test_unsettled_conventions_are_not_guessed(tmp_path):
    source = tmp_path / "one_way.bin"
    source.write_bytes((packet(SENSOR, acc()) + packet(ESTIMATE, field(0x03, "ffffH", 0.0, 0.0, 0.6, 0.8, 1))) * 3)
    done = run("ahrs-dump", source, "--format", "rosbag2", "-o", tmp_path / "bag")
    assert done.returncode == 1 and not (tmp_path / "bag").exists()
    assert done.stderr.count("\n") == 1 and "--conventions" in done.stderr, done.stderr
    export(source, tmp_path / "bag", "--conventions", "xyzw,ned", fmt="rosbag2")
    assert (tmp_path / "bag" / "metadata.yaml").exists()
