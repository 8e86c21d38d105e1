"""The scripts under examples/ run as their usage lines say, against the simulator."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import installed_script

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def sensor(tmp_path):
    """A streaming simulator at ./ahrs, and a recording flight.bin beside it."""
    subprocess.run(
        [installed_script("ahrs-sim"), "--record", "flight.bin", "--seconds", "3"],
        cwd=tmp_path,
        check=True,
        capture_output=True,
        timeout=60,
    )
    sim = subprocess.Popen(
        [installed_script("ahrs-sim"), "--link", "./ahrs", "--linger", "600"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    sim.stdout.readline()
    yield tmp_path
    os.killpg(sim.pid, signal.SIGTERM)
    sim.wait(timeout=30)


@pytest.mark.parametrize(
    "script, args, shows",
    [
        ("live_thread.py", ["./ahrs", "1"], "DataSensor: "),
        ("live_asyncio.py", ["./ahrs", "1"], " samples"),
        ("record_while_streaming.py", ["./ahrs", "out.bin", "1"], " packets in out.bin"),
        ("dataset_duckdb.py", ["dataset", "flight.bin"], "flight: "),
        ("plot_attitude.py", ["flight.bin", "attitude.png"], "attitude.png: "),
    ],
)
def test_example_runs(sensor, script, args, shows):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *args], cwd=sensor, capture_output=True, text=True, timeout=180
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert shows in done.stdout
