"""What the tools say when asked for something: the ports present, a record
a recording lacks."""

import subprocess

import pytest
from conftest import installed_script

from tavrin_ahrs_tools import PortInfo, load
from tavrin_ahrs_tools.ports import port_lines


@pytest.mark.parametrize(
    "port, line",
    [
        (
            PortInfo(
                "/dev/ttyACM0", "/dev/serial/by-id/usb-Maker_Sensor_12-if00", 0x1234, 0x00AB, "12", "Maker", "Sensor"
            ),
            "/dev/serial/by-id/usb-Maker_Sensor_12-if00 -> /dev/ttyACM0  1234:00ab  Maker  Sensor  12",
        ),
        (PortInfo("/dev/ttyS0", None, None, None, None, None, None), "/dev/ttyS0"),
    ],
)
def test_port_lines_put_the_stable_name_first(port, line):
    assert port_lines([port]) == [line]


def test_ahrs_ports_lists_the_ports_pyserial_finds():
    from serial.tools import list_ports

    done = subprocess.run([installed_script("ahrs-ports")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    devices = sorted(p.device for p in list_ports.comports())
    lines = done.stdout.splitlines()
    assert len(lines) == len(devices) and all(d in done.stdout for d in devices)
    if not devices:
        assert done.stderr == "ahrs-ports: no serial ports found\n"


def test_a_missing_record_names_those_present(tmp_path):
    path = tmp_path / "flight.bin"
    subprocess.run(
        [installed_script("ahrs-sim"), "--record", str(path), "--seconds", "1"],
        check=True,
        capture_output=True,
        timeout=60,
    )
    rec = load(path)
    with pytest.raises(KeyError, match=r"no record 'NoSuchRecord'; the recording holds: .*CFEulerAngles"):
        rec.to_pandas("NoSuchRecord")
    with pytest.raises(KeyError, match="ScaledAccVector"):
        rec.columns("NoSuchRecord")
