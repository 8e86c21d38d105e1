"""ahrs-monitor watching the simulator: JSON lines on a pipe, a redrawn block
on a real pseudo-terminal, Ctrl-C as the way out."""

import fcntl
import json
import math
import os
import pty
import select
import signal
import struct
import subprocess
import termios
import time

import pytest
from conftest import installed_script, read_until
from test_tools import simulator

from tavrin_ahrs_tools import simulated

MONITOR = installed_script("ahrs-monitor")
STREAM_START = simulated.GPS_WEEK * 604800 + simulated.TOW_START


def lines_from(stream, count, timeout=15.0, until=lambda lines: False):
    """Up to `count` JSON lines, fewer once they meet `until`."""
    deadline = time.monotonic() + timeout
    lines = []
    while len(lines) < count and select.select([stream], [], [], deadline - time.monotonic())[0]:
        line = stream.readline()
        if not line:
            break
        lines.append(json.loads(line))
        if until(lines):
            break
    return lines


def back_after_an_unplug(lines):
    """The newest of three lines or more streams again after a reconnect,
    with both sets' attitude shown."""
    line = lines[-1]
    return (
        len(lines) >= 3
        and line["reconnects"] >= 1
        and line["status"] == "streaming"
        and "OrientationEuler" in line["attitude"]
    )


def test_pipe_gets_a_json_line_a_second_that_follows_the_device_through_an_unplug(tmp_path):
    link = tmp_path / "usb-sensor-if00"
    with simulator("--link", str(link), "--unplug-every", "1.6", "--linger", "5"):
        monitor = subprocess.Popen([MONITOR, str(link)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            # A line a second; the device goes away every 1.6 s, and how long
            # it takes to come back depends on how busy the machine is.
            lines = lines_from(monitor.stdout, 20, timeout=60.0, until=back_after_an_unplug)
        finally:
            monitor.send_signal(signal.SIGINT)
            assert monitor.wait(10) == 0
            assert monitor.stderr.read() == ""
            monitor.stdout.close()
            monitor.stderr.close()
    assert back_after_an_unplug(lines)
    for line in lines[1:]:
        assert line["port"] == str(link)
        assert set(line["rates"]) == {"DataSensor", "DataEstimationFilter"}
        # The sensor's angles of the newest packet, in radians as in the tables.
        assert line["units"]["attitude"] == "rad"
        expected = simulated.Attitude(line["device_time"] - STREAM_START).euler
        shown = line["attitude"]["CFEulerAngles"]
        assert [shown[axis] for axis in ("roll", "pitch", "yaw")] == pytest.approx(list(expected), abs=1e-5)
        if "OrientationEuler" in line["attitude"]:  # the filter's set may not have come yet
            assert set(line["attitude"]["OrientationEuler"]) == {"roll", "pitch", "yaw", "valid"}
        assert set(line["stats"]) >= {
            "packets",
            "bytes",
            "skipped_bytes",
            "damaged_runs",
            "checksum_failures",
            "timeouts",
            "dropouts",
            "dropped",
            "reconnects",
            "queued",
            "max_queued",
        }
    assert lines[-1]["filter"]["filter_state"] == 2  # settled after its first second
    assert lines[-1]["attitude"]["OrientationEuler"]["valid"] == "Valid"
    assert lines[-1]["error"] and 0 <= lines[-1]["error_age"] < 5
    assert lines[-1]["rates"]["DataSensor"] > 0
    packets = [line["stats"]["packets"].get("DataSensor", 0) for line in lines]
    assert packets == sorted(packets) and packets[-1] > packets[1]


def test_terminal_gets_a_block_redrawn_in_place_and_ctrl_c_exits_0():
    with simulator() as (_, path):
        pid, master = pty.fork()
        if pid == 0:  # the child, on the terminal
            os.environ["TERM"] = "xterm-256color"
            os.execv(MONITOR, [MONITOR, path])
        try:
            fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
            out = read_until(master, lambda o: o.count(b"Attitude") >= 6, timeout=15.0)
            os.write(master, b"\x03")  # Ctrl-C, through the terminal's line discipline
            out += read_until(master, lambda o: False, timeout=2.0)
            _, status = os.waitpid(pid, 0)
        finally:
            os.close(master)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    text = out.decode(errors="replace")
    assert text.count("Attitude") >= 6
    assert "\x1b[1A" in text or "\x1b[A" in text  # the cursor goes back up: redrawn in place
    assert "streaming" in text and "CFEulerAngles" in text and "DataEstimationFilter" in text
    assert "Traceback" not in text


def test_declared_units_turn_the_attitude_into_radians(tmp_path):
    # A sensor that sends its Euler angles in degrees: told so, the monitor
    # shows them in radians like every other angle, not as radians already.
    units = tmp_path / "units.toml"
    units.write_text('[CFEulerAngles]\nroll = "deg"\npitch = "deg"\nyaw = "deg"\n')
    with simulator() as (_, path):
        monitor = subprocess.Popen(
            [MONITOR, path, "--units", str(units)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        try:
            lines = lines_from(monitor.stdout, 2, until=lambda lines: "CFEulerAngles" in lines[-1]["attitude"])
        finally:
            monitor.send_signal(signal.SIGINT)
            assert monitor.wait(10) == 0
            monitor.stdout.close()
            monitor.stderr.close()
    line = lines[-1]
    sent = simulated.Attitude(line["device_time"] - STREAM_START).euler
    shown = line["attitude"]["CFEulerAngles"]
    assert [shown[axis] for axis in ("roll", "pitch", "yaw")] == pytest.approx([a * math.pi / 180 for a in sent])


def test_an_unusable_units_table_fails_before_the_port_is_opened(tmp_path):
    units = tmp_path / "units.toml"
    units.write_text('[CFEulerAngles]\nroll = "furlong"\n')
    done = subprocess.run(
        [MONITOR, "/dev/no-such-port", "--units", str(units)], capture_output=True, text=True, timeout=30
    )
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith("ahrs-monitor: CFEulerAngles.roll: unknown unit 'furlong'")
    assert done.stderr.count("\n") == 1


def test_a_port_that_does_not_exist_fails_at_once_naming_those_that_do():
    done = subprocess.run([MONITOR, "/dev/serial/by-id/usb-missing-if00"], capture_output=True, text=True, timeout=30)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith(
        "ahrs-monitor: cannot open /dev/serial/by-id/usb-missing-if00: No such file or directory ("
    )
    assert "serial ports" in done.stderr


def _rendered(**changes):
    from rich.console import Console

    from tavrin_ahrs_tools.monitor import render

    stats = {
        "damaged_runs": 1,
        "skipped_bytes": 1,
        "checksum_failures": 2,
        "timeouts": 0,
        "dropouts": {},
        "queued": 0,
        "max_queued": 0,
        "dropped": 0,
        "bytes": 1,
        "packets": {},
    }
    content = {
        "port": "/dev/x",
        "status": "streaming",
        "reconnects": 1,
        "error": None,
        "error_age": None,
        "rates": {},
        "attitude": {},
        "filter": None,
        "stats": stats,
        **changes,
    }
    console = Console(record=True, width=200, force_terminal=True, color_system="truecolor")
    console.print(render(content))
    return console.export_text(clear=False), console.export_text(styles=True)


def test_a_loss_is_shown_red_while_away_and_as_a_neutral_last_loss_once_streaming_again():
    away, away_styled = _rendered(status="reconnecting", error="device hung up", error_age=1.0)
    back, back_styled = _rendered(error="device hung up", error_age=12.4)
    assert "device hung up" in away and "\x1b[31m" in away_styled
    assert "last loss: device hung up, 12 s ago" in back
    assert "\x1b[31m" not in back_styled.split("Packets")[0]
    assert "1 run  1 byte skipped  2 checksum failures  0 time-outs" in back
