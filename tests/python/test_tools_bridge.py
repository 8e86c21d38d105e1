"""ahrs-bridge on a simulated sensor, with a real WebSocket client: channels
advertised, every topic received and decoded, values in SI, Ctrl-C ends it
with exit 0 and one line."""

import asyncio
import json
import math
import os
import signal
import socket
import struct
import subprocess
import time

import pytest
from conftest import installed_script
from test_tools_ros2 import TOPIC_RECORDS

websockets = pytest.importorskip("websockets")
pytest.importorskip("foxglove")
SUBPROTOCOL = "foxglove.sdk.v1"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def bridge(tmp_path):
    link = tmp_path / "ahrs"
    sim = subprocess.Popen(
        [installed_script("ahrs-sim"), "--link", str(link), "--duration", "60", "--unplug-every", "2"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    deadline = time.monotonic() + 20
    while not link.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    port = free_port()
    proc = subprocess.Popen(
        [installed_script("ahrs-bridge"), str(link), "--port", str(port), "--mcap", str(tmp_path / "live.mcap")],
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        yield proc, port, tmp_path / "live.mcap"
    finally:
        for p in (proc, sim):
            if p.poll() is None:
                p.kill()
            p.wait(10)


async def receive_every_topic(port, timeout=30):
    """{topic: [payload]} until every topic has two messages."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            ws = await websockets.connect(f"ws://127.0.0.1:{port}", subprotocols=[SUBPROTOCOL])
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.1)
    async with ws:
        assert ws.subprotocol == SUBPROTOCOL
        channels = {}
        while len(channels) < len(TOPIC_RECORDS):
            message = json.loads(await asyncio.wait_for(ws.recv(), timeout))
            if message["op"] == "advertise":
                channels.update({c["id"]: c for c in message["channels"]})
        ids = list(channels)
        await ws.send(
            json.dumps({"op": "subscribe", "subscriptions": [{"id": i, "channelId": c} for i, c in enumerate(ids)]})
        )
        got = {}
        while min((len(v) for v in got.values()), default=0) < 2 or len(got) < len(ids):
            data = await asyncio.wait_for(ws.recv(), timeout)
            if isinstance(data, bytes) and data[0] == 1:
                sub, _log_time = struct.unpack_from("<IQ", data, 1)
                got.setdefault(channels[ids[sub]]["topic"], []).append(data[13:])
    return channels, got


def test_clients_get_every_topic_in_si_and_ctrl_c_ends_it(bridge):
    from rosbags.typesys import Stores, get_typestore

    proc, port, mcap = bridge

    async def two_clients():
        return await asyncio.wait_for(asyncio.gather(receive_every_topic(port), receive_every_topic(port)), 60)

    (channels, first), (_, second) = asyncio.run(two_clients())
    assert set(first) == set(second) == set(TOPIC_RECORDS)
    assert {c["encoding"] for c in channels.values()} == {"cdr"}
    assert {c["schemaEncoding"] for c in channels.values()} == {"ros2msg"}
    store = get_typestore(Stores.ROS2_HUMBLE)
    types = {c["topic"]: c["schemaName"] for c in channels.values()}
    decoded = {t: [store.deserialize_cdr(p, types[t]) for p in ps] for t, ps in first.items()}
    raw = decoded["/imu/data_raw"][0]
    assert raw.header.frame_id == "imu_link_ned" and raw.orientation_covariance[0] == -1
    a = raw.linear_acceleration
    assert math.hypot(a.x, a.y, a.z) == pytest.approx(9.8, rel=0.05)  # m/s^2
    assert 90_000 < decoded["/imu/pressure"][0].fluid_pressure < 105_000  # Pa
    assert decoded["/tf"][0].transforms[0].child_frame_id == "imu_link_ned"

    proc.send_signal(signal.SIGINT)
    _out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err
    assert err.splitlines()[-1].startswith("ahrs-bridge: stopped after ")
    assert os.path.getsize(mcap) > 0
