#!/usr/bin/env python3
"""A plain pure-Python decoder of recorded MIP streams.

The baseline the native module is measured against: it reads the same files,
prints the same lines as `parse_data_stream_py` and builds the same snapshot
dicts as `AHRSClient.read`, written the way a Python user would write it:
a file object, struct, dicts and string formatting.
"""

import math
import struct
import sys

SYNC = b"\x75\x65"
DESCRIPTOR_SETS = {0x01, 0x0C, 0x0D, 0x0E, 0x0F, 0x7F, 0x80, 0x81, 0x82, 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0xA0}
SENSOR_SET = 0x80
FILTER_SET = 0x82
F32 = struct.Struct(">f")

XYZ = (("x", "f"), ("y", "f"), ("z", "f"))
XYZW = XYZ + (("w", "f"),)
EULER = (("roll", "f"), ("pitch", "f"), ("yaw", "f"))
MATRIX = tuple((f"m{r}{c}", "f") for r in (1, 2, 3) for c in (1, 2, 3))
VALID = (("valid", "V"),)


class Record:
    """One field layout: item names and their wire types.

    Types: f float32, d float64, H uint16, V validity flag (uint16, 0 or 1).
    """

    def __init__(self, name, items):
        self.name = name
        self.names = tuple(n for n, _ in items)
        self.types = tuple(t for _, t in items)
        self.struct = struct.Struct(">" + "".join(self.types).replace("V", "H"))
        self.flags = tuple(i for i, t in enumerate(self.types) if t == "V")


SENSOR_RECORDS = {
    0x04: Record("ScaledAccVector", XYZ),
    0x05: Record("ScaledGyroVector", XYZ),
    0x06: Record("ScaledMageVector", XYZ),
    0x07: Record("DeltaThetaVector", XYZ),
    0x08: Record("DeltaVelocityVector", XYZ),
    0x17: Record("ScaledAmbientPressure", (("ambient_pressure", "f"),)),
    0x09: Record("CFOrientationMatrix", MATRIX),
    0x0A: Record("CFQuaternion", XYZW),
    0x0C: Record("CFEulerAngles", EULER),
    0x10: Record("CFStabilizedNorthVector", XYZ),
    0x11: Record("CFStabilizedUpVector", XYZ),
    0x12: Record("GPSCorrelationTimestamp", (("gps_time_of_week", "d"), ("gps_week", "H"), ("timestamp_flags", "H"))),
}

FILTER_RECORDS = {
    0x10: Record("FilterStatus", (("filter_state", "H"), ("dynamics_mode", "H"), ("status_flags", "H"))),
    0x11: Record("GPSTimestamp", (("time_of_week", "d"), ("week", "H"), ("valid_flags", "V"))),
    0x03: Record("OrientationQuaternion", XYZW + VALID),
    0x05: Record("OrientationEuler", EULER + VALID),
    0x0A: Record("AttitudeUncertaintyEuler", EULER + VALID),
    0x12: Record("AttitudeUncertaintyQuaternion", XYZW + VALID),
    0x04: Record("OrientationMatrix", MATRIX + VALID),
    0x0E: Record("CompensatedAngularRate", XYZ + VALID),
    0x06: Record("GyroBias", XYZ + VALID),
    0x0B: Record("GyroBiasUncertainty", XYZ + VALID),
    0x1C: Record("CompensatedAcceleration", XYZ + VALID),
    0x0D: Record("LinearAcceleration", XYZ + VALID),
    0x21: Record("PressureAltitude", (("pressure_altitude", "f"),) + VALID),
    0x13: Record("GravityVector", XYZ + VALID),
    0x0F: Record("WGS84LocalGravityMagnitude", (("gravity_magnitude", "f"),) + VALID),
}

KINDS = {SENSOR_SET: ("Sensor", SENSOR_RECORDS), FILTER_SET: ("Estimate", FILTER_RECORDS)}


# --- framing ------------------------------------------------------------------


class StreamEnd(Exception):
    """Reading stopped: at the end of the file, or at a packet it cannot read."""


def checksum(data):
    first = second = 0
    for byte in data:
        first = (first + byte) & 0xFF
        second = (second + first) & 0xFF
    return (first << 8) | second


def read_packet(stream, position):
    """(descriptor set, payload) of the packet at `position`, or StreamEnd."""
    sync = stream.read(2)
    if len(sync) < 2:
        raise StreamEnd("End of file: failed to fill whole buffer")
    if sync != SYNC:
        raise StreamEnd(f"Error parsing packet from file: bad magic at 0x{position:x}: [{sync[0]}, {sync[1]}]")
    head = stream.read(2)
    if head and head[0] not in DESCRIPTOR_SETS:
        raise StreamEnd(
            f"Error parsing packet from file: no variants matched at "
            f"0x{position + 2:x}: Unexpected value for enum: {head[0]}"
        )
    if len(head) < 2:
        raise StreamEnd("Error parsing packet from file: failed to fill whole buffer")
    payload = stream.read(head[1])
    if len(payload) < head[1]:
        raise StreamEnd("Error parsing packet from file: not enough bytes in reader")
    sent = stream.read(2)
    if len(sent) < 2:
        raise StreamEnd("Error parsing packet from file: failed to fill whole buffer")
    transmitted = (sent[0] << 8) | sent[1]
    computed = checksum(SYNC + head + payload)
    if transmitted != computed:
        raise StreamEnd(
            f"Error parsing packet from file: bad checksum: {transmitted:x} != {computed:x} at 0x{position:x}"
        )
    return head[0], payload


def iter_packets(path, stop_messages=None):
    """Every packet of a recorded file, stopping at the first unreadable one.

    The reason for stopping is appended to `stop_messages` when given.
    """
    with open(path, "rb") as stream:
        position = 0
        while True:
            try:
                descriptor_set, payload = read_packet(stream, position)
            except StreamEnd as end:
                if stop_messages is not None:
                    stop_messages.append(str(end))
                return
            position += len(payload) + 6
            yield descriptor_set, payload


# --- fields and records ---------------------------------------------------------


def decode_payload(descriptor_set, payload):
    """Readings of one packet: (kind, record, values) per decodable field."""
    if descriptor_set not in KINDS:
        return []
    kind, records = KINDS[descriptor_set]
    readings = []
    offset, n = 0, len(payload)
    while offset < n:
        length = payload[offset]
        end = offset + (length if length else 1)
        body = payload[offset + 1 : min(end, n)]
        offset = end
        if not body:
            continue
        record = records.get(body[0])
        if record is None or len(body) - 1 < record.struct.size:
            continue
        values = record.struct.unpack_from(body, 1)
        if any(values[i] > 1 for i in record.flags):
            continue
        readings.append((kind, record, values))
    return readings


# --- text form --------------------------------------------------------------------


def _digits_and_exponent(text):
    """Significant digits and decimal exponent of the first digit, from a
    decimal string in plain or exponent notation ('123.4', '1.5e-07')."""
    mantissa, _, exponent = text.partition("e")
    whole, _, fraction = mantissa.lstrip("-").partition(".")
    digits = whole + fraction
    exp10 = len(whole) - 1 + (int(exponent) if exponent else 0)
    stripped = digits.lstrip("0")
    exp10 -= len(digits) - len(stripped)
    return stripped.rstrip("0") or "0", exp10


def _lay_out(negative, digits, exp10):
    sign = "-" if negative else ""
    if exp10 >= 16 or exp10 < -4:
        tail = "." + digits[1:] if len(digits) > 1 else ""
        return f"{sign}{digits[0]}{tail}e{exp10}"
    if exp10 < 0:
        return f"{sign}0.{'0' * (-exp10 - 1)}{digits}"
    point = exp10 + 1
    if len(digits) <= point:
        return f"{sign}{digits}{'0' * (point - len(digits))}.0"
    return f"{sign}{digits[:point]}.{digits[point:]}"


def _special(value):
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == 0.0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    return None


def float32_text(value):
    """Shortest decimal that reads back to the same float32: more digits
    until one does (nine always do)."""
    special = _special(value)
    if special:
        return special
    for precision in range(9):
        text = f"{value:.{precision}e}"
        try:
            if F32.unpack(F32.pack(float(text)))[0] == value:
                break
        except OverflowError:  # rounded past the largest float32
            pass
    return _lay_out(value < 0, *_digits_and_exponent(text))


def float64_text(value):
    """Shortest decimal that reads back to the same double (Python's repr)."""
    special = _special(value)
    if special:
        return special
    return _lay_out(value < 0, *_digits_and_exponent(repr(value)))


def _item_text(kind, value):
    if kind == "f":
        return float32_text(value)
    if kind == "d":
        return float64_text(value)
    if kind == "V":
        return "Valid" if value else "Invalid"
    return str(value)


def reading_text(reading):
    kind, record, values = reading
    items = ", ".join(f"{name}: {_item_text(t, v)}" for name, t, v in zip(record.names, record.types, values))
    return f"{kind}({record.name} {{ {items} }})"


def readings_text(readings):
    return "[" + ", ".join(reading_text(r) for r in readings) + "]"


# --- Python forms -------------------------------------------------------------------


def reading_dict(reading):
    _, record, values = reading
    return {
        name: (("Valid" if v else "Invalid") if t == "V" else v)
        for name, t, v in zip(record.names, record.types, values)
    }


def snapshot(readings):
    """The dict that AHRSClient.read gives for one packet's readings."""
    snap = {}
    for reading in readings:
        snap["type"] = "sensor" if reading[0] == "Sensor" else "estimate"
        snap[reading[1].name] = reading_dict(reading)
    return snap


def iter_snapshots(path):
    for descriptor_set, payload in iter_packets(path):
        yield snapshot(decode_payload(descriptor_set, payload))


def parse_data_stream(path, out=None, err=None):
    """Print one line per packet of a recorded file, as parse_data_stream_py does."""
    out = out or sys.stdout
    err = err or sys.stderr
    stop = []
    for descriptor_set, payload in iter_packets(path, stop):
        out.write(readings_text(decode_payload(descriptor_set, payload)) + "\n")
    out.flush()
    err.write(stop[0] + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pure_python_decoder.py RECORDED_FILE")
    parse_data_stream(sys.argv[1])
