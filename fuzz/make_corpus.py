"""Writes the committed seed inputs of the fuzz targets into fuzz/corpus.

fuzz_packet gets byte streams: every record of both decoded sets, the
framing edge cases and the resynchronisation cases. fuzz_resync reads its
input as a recipe, so any bytes will do; its seeds only vary the length.
fuzz_recording gets the fuzz_packet streams behind one byte of read sizes.
Run from the repository root, with the package installed: .venv/bin/python fuzz/make_corpus.py
"""

import pathlib
import random
import sys

sys.path.insert(0, "tests/python")
from mip import ESTIMATE, SENSOR, corrupted, field, packet
from records import RECORDS

OUT = pathlib.Path("fuzz/corpus")


def record_fields(descriptor_set):
    fields = []
    for set_, desc, _name, _keys, fmt in RECORDS:
        if set_ == descriptor_set:
            values = [1 if c == "H" else 0.5 + i for i, c in enumerate(fmt)]
            fields.append(field(desc, fmt, *values))
    return fields


def packets_of(descriptor_set):
    """All records of a set, split over packets of at most 255 payload bytes."""
    result, payload = [], b""
    for f in record_fields(descriptor_set):
        if len(payload) + len(f) > 255:
            result.append(packet(descriptor_set, payload))
            payload = b""
        payload += f
    return result + [packet(descriptor_set, payload)]


def packet_seeds():
    sensor = packets_of(SENSOR)
    estimate = packets_of(ESTIMATE)
    good = sensor[0]
    bad_sum = corrupted(good)
    return {
        "command": bytes.fromhex("756501020202e1c7"),
        "empty_sensor": bytes.fromhex("756580005a03"),
        "empty_estimate": bytes.fromhex("756582005c07"),
        "bad_checksum": bytes.fromhex("756580005a04"),
        "bad_magic": bytes.fromhex("7566"),
        "unknown_set": bytes.fromhex("756502") + good,
        "cut_payload": bytes.fromhex("756580050102"),
        "cut_checksum": packet(SENSOR, b"\x06\x17\x00\x00\x80\x3f")[:-1],
        "longest": packet(0xA0, bytes(range(255))),
        "sensor_records": b"".join(sensor),
        "estimate_records": b"".join(estimate),
        "false_header": bytes.fromhex("756580ff") + good + estimate[0],
        "stray_bytes": b"\x00\x00\x00" + good + b"\x00" + good,
        "bad_then_good": bad_sum + good,
        "overrun": bytes.fromhex("7565800a010203") + good,
        # sync pairs and a false header inside a payload
        "nested_sync": packet(SENSOR, bytes([14, 0x04]) + bytes.fromhex("756580ff7565820475650000")) + good,
    }


def resync_seeds():
    rng = random.Random(7)
    return {f"recipe_{n}": bytes(rng.randrange(256) for _ in range(n)) for n in (16, 64, 256, 1024, 2048)}


def recording_seeds():
    """The packet seeds as recordings: a first byte picks the read sizes."""
    return {name: bytes([n * 37 % 256]) + data for n, (name, data) in enumerate(packet_seeds().items())}


def write(target, seeds):
    d = OUT / target
    d.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (d / name).write_bytes(data)


if __name__ == "__main__":
    write("fuzz_packet", packet_seeds())
    write("fuzz_resync", resync_seeds())
    write("fuzz_recording", recording_seeds())
