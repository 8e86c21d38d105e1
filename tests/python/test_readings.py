"""Readings as Python objects: reading dicts (read_packet) and snapshots (read)."""

import struct

import pytest
from mip import ESTIMATE, SENSOR, acc, euler, field, packet
from records import RECORDS

import tavrin_ahrs_driver as m


def sample_values(fmt):
    """Distinct values per item: float32-exact floats, ints, and flag 1."""
    values = []
    for i, code in enumerate(fmt, start=1):
        values.append({"f": i + 0.5, "d": 1e6 + i / 8, "H": i * 1000}[code])
    return values


@pytest.fixture
def read_file(tmp_path, fd_capture):
    def _read(*packets, method="read_packet"):
        path = tmp_path / "rec.bin"
        path.write_bytes(b"".join(packets))
        client = m.AHRSClient()
        client.open_file(str(path))
        with fd_capture():
            return [getattr(client, method)() for _ in packets]

    return _read


@pytest.mark.parametrize("record", RECORDS, ids=[r[2] for r in RECORDS])
def test_every_record_converts_to_its_dict(read_file, record):
    dset, desc, _name, keys, fmt = record
    values = sample_values(fmt)
    if keys[-1] in ("valid", "valid_flags"):
        values[-1] = 1
    [[reading]] = read_file(packet(dset, field(desc, fmt, *values)))
    assert list(reading) == list(keys)
    for key, code, value in zip(keys, fmt, values):
        got = reading[key]
        if key in ("valid", "valid_flags"):
            assert got == "Valid"
        elif code == "H":
            assert type(got) is int and got == value
        else:
            assert type(got) is float and got == value


def test_float32_items_are_widened_exactly(read_file):
    [[reading]] = read_file(packet(SENSOR, acc(0.1, -2.5e-5, 987654321.0)))
    assert reading == {
        "x": 0.10000000149011612,
        "y": struct.unpack(">f", struct.pack(">f", -2.5e-5))[0],
        "z": 987654336.0,
    }


def test_invalid_flag_is_the_string_invalid(read_file):
    [[reading]] = read_file(packet(ESTIMATE, euler(valid=0)))
    assert reading["valid"] == "Invalid"


def test_same_fields_give_equal_dicts_whatever_the_variant(read_file):
    [[a, b]] = read_file(packet(SENSOR, acc() + field(0x07, "fff", 1.0, 2.0, 3.0)))
    assert a == b


@pytest.mark.parametrize(
    "payload_set, payload, expected",
    [
        (
            SENSOR,
            acc() + field(0x05, "fff", 0, 0, -1.0),
            {
                "type": "sensor",
                "ScaledAccVector": {"x": 1.0, "y": 2.0, "z": 3.0},
                "ScaledGyroVector": {"x": 0.0, "y": 0.0, "z": -1.0},
            },
        ),
        (
            ESTIMATE,
            euler(roll=0.5) + euler(roll=2.0, valid=0),
            {"type": "estimate", "OrientationEuler": {"roll": 2.0, "pitch": -0.25, "yaw": 1.0, "valid": "Invalid"}},
        ),
        (SENSOR, b"", {}),
        (0x01, bytes.fromhex("0202"), {}),
    ],
    ids=["sensor", "later-wins", "no-readings", "command-set"],
)
def test_snapshot_of_one_packet(read_file, payload_set, payload, expected):
    [snapshot] = read_file(packet(payload_set, payload), method="read")
    assert snapshot == expected
