"""Declared units with overrides and SI conversion; attitude conventions found
from simulated data written under each candidate convention."""

import json
import subprocess
import sys

import numpy as np
import pytest

from tavrin_ahrs_tools import Conventions, ConventionsError, load, parse_conventions, units
from tavrin_ahrs_tools.units import UnitsError, load_units_file, to_si


@pytest.mark.parametrize(
    "unit, value, si, si_unit",
    [
        ("g", 1.0, 9.80665, "m/s^2"),
        ("g*s", 2.0, 19.6133, "m/s"),
        ("gauss", 0.5, 5e-5, "T"),
        ("mbar", 1013.25, 101325.0, "Pa"),
        ("deg", 180.0, np.pi, "rad"),
        ("m/s^2", 3.0, 3.0, "m/s^2"),
    ],
)
def test_to_si(unit, value, si, si_unit):
    converted, unit_out = to_si(np.array([value]), unit)
    assert unit_out == si_unit and converted[0] == pytest.approx(si)


def test_default_table_and_overrides():
    table = units()
    assert table["ScaledAccVector"]["x"] == "g" and table["DeltaVelocityVector"]["z"] == "g*s"
    assert table["CompensatedAcceleration"]["x"] == "m/s^2" and table["GravityVector"]["y"] == "m/s^2"
    changed = units({"ScaledAccVector": {"x": "m/s^2"}})
    assert changed["ScaledAccVector"]["x"] == "m/s^2" and changed["ScaledAccVector"]["y"] == "g"
    assert units()["ScaledAccVector"]["x"] == "g"  # the default is not changed by an override


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"NoSuchRecord": {"x": "g"}}, "unknown record"),
        ({"ScaledAccVector": {"w": "g"}}, "has no item"),
        ({"ScaledAccVector": {"x": "furlongs"}}, "unknown unit"),
    ],
)
def test_bad_overrides(overrides, message):
    with pytest.raises(UnitsError, match=message):
        units(overrides)


@pytest.mark.parametrize(
    "name, text",
    [
        ("u.toml", '[ScaledAccVector]\nx = "m/s^2"\ny = "m/s^2"\n'),
        ("u.json", json.dumps({"ScaledAccVector": {"x": "m/s^2", "y": "m/s^2"}})),
    ],
)
def test_units_file(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    assert units(load_units_file(path))["ScaledAccVector"] == {"time": "s", "x": "m/s^2", "y": "m/s^2", "z": "g"}


def test_units_file_not_valid(tmp_path):
    path = tmp_path / "u.toml"
    path.write_text("[ScaledAccVector\n")
    with pytest.raises(UnitsError, match="not valid TOML"):
        load_units_file(path)


def _record(tmp_path, *args, seconds=3):
    path = tmp_path / "f.bin"
    subprocess.run(
        [sys.executable, "-m", "tavrin_ahrs_tools.sim", "--record", str(path), "--seconds", str(seconds), *args],
        check=True,
        capture_output=True,
    )
    return load(path)


CONVENTIONS = [
    "xyzw,world_to_body,ZYX,ned",  # the simulator's default
    "wxyz,body_to_world,XYZ,enu",
    "xyzw,body_to_world,YXZ,ned",
    "wxyz,world_to_body,ZXY,enu",
    "xyzw,world_to_body,XZY,ned",
    "wxyz,body_to_world,YZX,ned",
]


@pytest.mark.parametrize("written", CONVENTIONS)
def test_each_convention_is_found(tmp_path, written):
    rec = _record(tmp_path, "--convention", written)
    assert rec.conventions == parse_conventions(written)
    # every representation, read under what was found, is one attitude
    quaternion = rec.rotation("OrientationQuaternion").as_matrix()
    for name in ("OrientationMatrix", "OrientationEuler", "CFQuaternion"):
        assert np.abs(rec.rotation(name).as_matrix() - quaternion).max() < 1e-5
    assert rec.euler_degrees("CFEulerAngles") == pytest.approx(
        np.degrees(np.stack([rec.records["CFEulerAngles"][k] for k in ("roll", "pitch", "yaw")], axis=1)), abs=1e-3
    )


def test_one_way_only_is_not_guessed(tmp_path):
    rec = _record(tmp_path)
    rec.records = {name: rec.records[name] for name in ("CFQuaternion", "ScaledAccVector")}
    with pytest.raises(ConventionsError, match="--conventions"):
        rec.rotation("CFQuaternion")
    rec.conventions = parse_conventions("quaternion=xyzw")
    assert len(rec.rotation("CFQuaternion")) == len(rec.records["CFQuaternion"])


def test_several_fit_when_the_body_never_turns(tmp_path):
    rec = _record(tmp_path)
    level = np.zeros(4, dtype=rec.records["CFEulerAngles"].dtype)
    level["packet"] = np.arange(4)
    matrix = np.zeros(4, dtype=rec.records["CFOrientationMatrix"].dtype)
    matrix["packet"] = np.arange(4)
    matrix["m11"] = matrix["m22"] = matrix["m33"] = 1.0
    rec.records = {"CFEulerAngles": level, "CFOrientationMatrix": matrix}
    with pytest.raises(ConventionsError, match="several") as err:
        _ = rec.conventions
    assert len(err.value.candidates) > 1


@pytest.mark.parametrize(
    "text, expected",
    [
        ("wxyz,body_to_world,XYZ,enu", Conventions("wxyz", "body_to_world", "XYZ", "enu")),
        ("euler=zyx, world=NED", Conventions(euler="ZYX", world="ned")),
    ],
)
def test_parse_conventions(text, expected):
    assert parse_conventions(text) == expected


@pytest.mark.parametrize("text", ["abcd", "quaternion=ZYX", "wxyz,xyzw"])
def test_parse_conventions_refuses(text):
    with pytest.raises(ConventionsError):
        parse_conventions(text)


@pytest.mark.parametrize(
    "args, line",
    [
        ((), "Conventions: quaternion wxyz (scalar first), matrix world to body, Euler XYZ (intrinsic), world ENU"),
        (("--conventions", "ZYX"), "stated, but the data say quaternion wxyz"),
    ],
)
def test_info_prints_the_conventions(tmp_path, args, line):
    _record(tmp_path, "--convention", "wxyz,XYZ,enu", seconds=2)
    shown = subprocess.run(
        [sys.executable, "-m", "tavrin_ahrs_tools.info", str(tmp_path / "f.bin"), *args],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    assert line in shown.splitlines()[-1]


def test_sensor_finds_the_conventions_from_its_first_packet(tmp_path):
    from tavrin_ahrs_tools import Sensor

    link = tmp_path / "ahrs"
    sim = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tavrin_ahrs_tools.sim",
            "--link",
            str(link),
            "--duration",
            "30",
            "--convention",
            "wxyz,body_to_world,YXZ",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    try:
        sim.stdout.readline()  # the terminal exists, and so does the link
        with Sensor(str(link), configure=False) as sensor:
            # the stream starts with the roll at zero, where turn orders that
            # differ only around it agree: the first packet turned enough settles them
            for _ in range(1000):
                sample = sensor.read(timeout=20)
                if sensor.conventions is not None:
                    break
            assert sensor.conventions == parse_conventions("wxyz,body_to_world,YXZ,ned")
            assert sample.conventions == sensor.conventions
            name = "CFEulerAngles" if "CFEulerAngles" in sample else "OrientationEuler"
            angles = [sample[name][k] for k in ("roll", "pitch", "yaw")]
            assert sample.euler_degrees(name) == pytest.approx(np.degrees(angles), abs=1e-3)
    finally:
        sim.terminate()
        sim.wait(timeout=20)


@pytest.mark.parametrize(
    "text, status, expected",
    [
        ('[ScaledAccVector]\nx = "m/s^2"\n', 0, {"x": b"m/s^2", "y": b"g"}),
        ('[ScaledAccVector]\nx = "furlongs"\n', 1, "unknown unit 'furlongs'"),
    ],
)
def test_dump_writes_the_declared_units(tmp_path, text, status, expected):
    pq = pytest.importorskip("pyarrow.parquet")
    rec_path = tmp_path / "f.bin"
    _record(tmp_path, seconds=1)
    (tmp_path / "u.toml").write_text(text)
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "tavrin_ahrs_tools.dump",
            str(rec_path),
            "--format",
            "parquet",
            "-o",
            str(tmp_path / "pq"),
            "--records",
            "ScaledAccVector",
            "--units",
            str(tmp_path / "u.toml"),
        ],
        capture_output=True,
        text=True,
    )
    assert done.returncode == status
    if status:
        assert expected in done.stderr and "Traceback" not in done.stderr
        return
    schema = pq.read_schema(tmp_path / "pq" / "ScaledAccVector.parquet")
    assert {k: schema.field(k).metadata[b"unit"] for k in expected} == expected


@pytest.mark.parametrize(
    "overrides, size", [({}, 9.80665), ({"ScaledAccVector": {"x": "m/s^2", "y": "m/s^2", "z": "m/s^2"}}, 1.0)]
)
def test_plot_draws_the_acceleration_in_si(tmp_path, overrides, size):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    from tavrin_ahrs_tools import plot
    from tavrin_ahrs_tools.columnar import use_units

    rec = _record(tmp_path, seconds=1)
    use_units(overrides)
    try:
        fig = plot.figure(np, rec, "t")
    finally:
        use_units({})
    lines = fig.axes[-1].get_lines()
    norm = np.sqrt(sum(np.asarray(line.get_ydata(), dtype=float) ** 2 for line in lines))
    assert np.nanmax(np.abs(norm - size)) < 1e-3 * size
