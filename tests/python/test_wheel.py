"""The wheel `make wheel` hands over installs into a fresh environment, with
no compiler and no source tree, and its commands work there."""

import subprocess
import venv
from pathlib import Path

import pytest

DIST = Path(__file__).resolve().parents[2] / "build" / "dist"


def test_repaired_wheel_installs_and_runs_in_a_fresh_venv(tmp_path):
    wheels = sorted(DIST.glob("*-abi3-manylinux*.whl"))
    if not wheels:
        pytest.skip("no repaired wheel: run `make wheel` first")
    env_dir = tmp_path / "env"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    python = env_dir / "bin" / "python"
    subprocess.run(
        [python, "-m", "pip", "install", "-q", f"{wheels[-1]}[tools]"],
        check=True,
        capture_output=True,
        timeout=600,
        cwd=tmp_path,
    )
    subprocess.run(
        [env_dir / "bin" / "ahrs-sim", "--record", "flight.bin", "--seconds", "1"],
        check=True,
        capture_output=True,
        timeout=60,
        cwd=tmp_path,
    )
    info = subprocess.run(
        [env_dir / "bin" / "ahrs-info", "flight.bin"], capture_output=True, text=True, timeout=60, cwd=tmp_path
    )
    assert info.returncode == 0, info.stderr
    assert "Packets: 200 well-formed" in info.stdout
    # The installed copy is the one that ran, not this tree's.
    where = subprocess.run(
        [python, "-c", "import tavrin_ahrs_tools as t; print(t.__file__, t.__version__)"],
        capture_output=True,
        text=True,
        check=True,
        cwd=tmp_path,
    ).stdout
    assert str(env_dir) in where and "0.1.0" in where
