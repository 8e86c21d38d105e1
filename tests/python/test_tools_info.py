"""ahrs-info and ahrs-plot as installed, and the exit statuses of every
installed script, on simulator recordings and small crafted files."""

import os
import subprocess

import pytest
from conftest import ASAN_HEAP, installed_script, run_python, simulator_recording
from mip import ESTIMATE, SENSOR, acc, corrupted, field, packet

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def run(script, *args):
    env = dict(os.environ)
    if ASAN_HEAP and script == "ahrs-plot":
        # matplotlib's own native libraries crash the leak checker's tracer
        # at exit; memory errors are still caught.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return subprocess.run(
        [installed_script(script), *map(str, args)], capture_output=True, text=True, timeout=120, env=env
    )


def info_lines(path):
    done = run("ahrs-info", path)
    assert done.returncode == 0, done.stderr
    return [line.rstrip() for line in done.stdout.splitlines()]


@pytest.fixture(scope="module")
def sim_recording(tmp_path_factory):
    return simulator_recording(tmp_path_factory.mktemp("info") / "flight.bin", 5)


def stamped(t, state):
    """A filter packet at `t` s into the recording, in filter state `state`."""
    return packet(ESTIMATE, field(0x10, "HHH", state, 1, 0) + field(0x11, "dHH", 345600.0 + t, 2345, 1))


@pytest.fixture
def damaged_with_dropouts(tmp_path):
    """Stamps every 0.1 s with two holes (0.3 s and 0.4 s long), two filter
    state changes, stray bytes, a bad checksum and a cut-off end."""
    times = [0.0, 0.1, 0.2, 0.5, 0.6, 1.0, 1.1, 1.2]
    states = [1, 1, 1, 2, 2, 2, 3, 3]
    parts = [stamped(t, s) for t, s in zip(times, states)]
    parts[1:1] = [b"\x00\x01"]
    parts[5:5] = [packet(SENSOR, acc()), corrupted(packet(SENSOR, acc()))]
    parts.append(stamped(1.3, 3)[:20])
    path = tmp_path / "damaged.bin"
    path.write_bytes(b"".join(parts))
    starts = [sum(map(len, parts[:i])) for i in range(len(parts))]
    return path, [(starts[i], len(parts[i])) for i in (1, 6, len(parts) - 1)]


def test_info_on_a_simulator_recording(sim_recording):
    lines = info_lines(sim_recording)
    for expected in [
        "Packets: 1,000 well-formed",
        "Damage: none",
        "Time: 4.990 s from GPS week 2345, time of week 345600.000 s, 200.0 packets/s",
        "  GPSCorrelationTimestamp: 500 stamps, every 10.000 ms (100.0 /s)",
        "  GPSTimestamp: 500 stamps, every 10.000 ms (100.0 /s)",
        "Filter state: 1 change",
        "        +0.000 s  1",
        "        +1.000 s  1 -> 2",
    ]:
        assert expected in lines
    assert lines.count("    no dropouts") == 2
    counts = {line.split()[0]: line.split()[1] for line in lines if line.startswith("  ")}
    assert counts["DataSensor"] == counts["DataEstimationFilter"] == "500"
    assert counts["CFEulerAngles"] == counts["WGS84LocalGravityMagnitude"] == "500"


def test_info_counts_damage_dropouts_and_state_changes(damaged_with_dropouts):
    path, runs = damaged_with_dropouts
    lines = info_lines(path)
    at = ", ".join(f"{start} (0x{start:x})" for start, _ in runs)
    for expected in [
        "Packets: 9 well-formed",
        f"Damage: 3 damaged runs, {sum(n for _, n in runs)} bytes skipped",
        f"  at byte {at}",
        "  the file ends inside a packet",
        "Time: 1.200 s from GPS week 2345, time of week 345600.000 s, 6.7 packets/s",
        "  GPSTimestamp: 8 stamps, every 100.000 ms (10.0 /s)",
        "    2 dropouts, 0.700 s in all (about 5 stamps missing), longest 0.400 s after +0.600 s",
        "Filter state: 2 changes",
        "        +0.500 s  1 -> 2",
        "        +1.100 s  2 -> 3",
    ]:
        assert expected in lines
    assert not any("GPSCorrelationTimestamp" in line for line in lines)


@pytest.mark.parametrize(
    "payloads",
    [
        pytest.param(None, id="simulator"),
        pytest.param([acc(), acc(4, 5, 6)], id="no time items"),
    ],
)
def test_plot_writes_a_png(sim_recording, tmp_path, payloads):
    if payloads is None:
        source = sim_recording
    else:
        source = tmp_path / "untimed.bin"
        source.write_bytes(b"".join(packet(SENSOR, p) for p in payloads))
    out = tmp_path / "picture.png"
    done = run("ahrs-plot", source, "-o", out)
    assert done.returncode == 0, done.stderr
    assert out.read_bytes()[:8] == PNG_MAGIC


def test_plot_names_its_picture_after_the_recording(tmp_path):
    source = tmp_path / "flight.bin"
    source.write_bytes(stamped(0.0, 1) + stamped(0.1, 2) + packet(SENSOR, acc()))
    assert run("ahrs-plot", source).returncode == 0
    assert (tmp_path / "flight.png").read_bytes()[:8] == PNG_MAGIC


@pytest.mark.parametrize(
    "script, args, status",
    [
        ("ahrs-info", ["-h"], 0),
        ("ahrs-info", [], 2),
        ("ahrs-info", ["{tmp}/missing.bin"], 1),
        ("ahrs-info", ["{tmp}"], 1),
        ("ahrs-plot", ["-h"], 0),
        ("ahrs-plot", ["{good}", "--colour", "red"], 2),
        ("ahrs-plot", ["{tmp}/missing.bin"], 1),
        ("ahrs-plot", ["{good}", "-o", "{tmp}/no/such/dir/x.png"], 1),
        ("ahrs-sim", ["-h"], 0),
        ("ahrs-sim", ["--replay", "{tmp}/missing.bin"], 1),
        ("ahrs-sim", ["--speed", "2"], 2),
        ("ahrs-sim", ["--loop"], 2),
        ("ahrs-sim", ["--replay", "{good}", "--speed", "-1"], 2),
        ("ahrs-sim", ["--replay", "{good}", "--record", "{tmp}/x.bin", "--seconds", "1"], 2),
        ("ahrs-sim", ["--replay", "{good}", "--fast"], 2),
        ("ahrs-record", ["-h"], 0),
        ("ahrs-record", ["--seconds", "1"], 2),
    ],
)
def test_exit_statuses(tmp_path, script, args, status):
    good = tmp_path / "good.bin"
    good.write_bytes(stamped(0.0, 1) + packet(SENSOR, acc()))
    done = run(script, *(a.format(tmp=tmp_path, good=good) for a in args))
    assert done.returncode == status, done.stderr
    if status == 0:
        assert "usage:" in done.stdout
    if status == 1:
        assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr


@pytest.mark.parametrize(
    "tool, missing, extra",
    [
        ("info", "numpy", "tools"),
        ("plot", "numpy", "plot"),
        ("plot", "matplotlib", "plot"),
    ],
)
def test_a_missing_package_is_named_in_one_line(sim_recording, tool, missing, extra):
    done = run_python(f"""
        import sys
        sys.modules[{missing!r}] = None  # as if it were not installed
        from tavrin_ahrs_tools.{tool} import main
        sys.exit(main([{str(sim_recording)!r}]))
    """)
    assert done.rc == 1
    assert (
        done.err
        == f"ahrs-{tool} needs "
        + ("numpy" if tool == "info" else "matplotlib and numpy")
        + f": pip install 'tavrin_ahrs_driver[{extra}]'\n"
    )


def test_the_simulator_needs_only_the_standard_library(tmp_path):
    out = tmp_path / "flight.bin"
    done = run_python(f"""
        import sys
        for name in ("numpy", "matplotlib", "pandas"):
            sys.modules[name] = None
        from tavrin_ahrs_tools.sim import main
        sys.exit(main(["--record", {str(out)!r}, "--count", "10"]))
    """)
    assert done.rc == 0, done.err
    assert out.stat().st_size > 0
