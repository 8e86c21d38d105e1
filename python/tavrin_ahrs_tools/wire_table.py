"""The wire format, for what runs on the standard library alone: the
simulator, its replay and its framing.

Generated from the native record catalogue by `make wire-table`
(tools/wire_table.py), and held equal to it by a test: do not edit. A new
record or a changed width goes into src/protocol/record_catalogue.cpp, and
this module is generated again.
"""

from __future__ import annotations

# The struct code (big-endian) of each item type as sent, by its array type code.
WIRE_TYPES: dict[str, str] = {"f4": "f", "f8": "d", "u2": "H", "?": "H"}
# Every descriptor set a packet may carry: name -> byte.
DESCRIPTOR_SETS: dict[str, int] = {
    "CommandBase": 0x01,
    "Command3DM": 0x0C,
    "CommandNav": 0x0D,
    "CommandGNSS": 0x0E,
    "CommandRTK": 0x0F,
    "CommandSys": 0x7F,
    "DataSensor": 0x80,
    "DataGNSS": 0x81,
    "DataEstimationFilter": 0x82,
    "DataDisplacement": 0x90,
    "DataGNSS1": 0x91,
    "DataGNSS2": 0x92,
    "DataGNSS3": 0x93,
    "DataGNSS4": 0x94,
    "DataGNSS5": 0x95,
    "DataSystem": 0xA0,
}
# The records in catalogue order: (name, descriptor set, field descriptor,
# ((item, array type code), ...) in wire order).
RECORDS: tuple[tuple[str, int, int, tuple[tuple[str, str], ...]], ...] = (
    ("ScaledAccVector", 0x80, 0x04, (("x", "f4"), ("y", "f4"), ("z", "f4"))),
    ("ScaledGyroVector", 0x80, 0x05, (("x", "f4"), ("y", "f4"), ("z", "f4"))),
    ("ScaledMageVector", 0x80, 0x06, (("x", "f4"), ("y", "f4"), ("z", "f4"))),
    ("DeltaThetaVector", 0x80, 0x07, (("x", "f4"), ("y", "f4"), ("z", "f4"))),
    ("DeltaVelocityVector", 0x80, 0x08, (("x", "f4"), ("y", "f4"), ("z", "f4"))),
    ("ScaledAmbientPressure", 0x80, 0x17, (("ambient_pressure", "f4"),)),
    (
        "CFOrientationMatrix",
        0x80,
        0x09,
        (
            ("m11", "f4"),
            ("m12", "f4"),
            ("m13", "f4"),
            ("m21", "f4"),
            ("m22", "f4"),
            ("m23", "f4"),
            ("m31", "f4"),
            ("m32", "f4"),
            ("m33", "f4"),
        ),
    ),
    ("CFQuaternion", 0x80, 0x0A, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("w", "f4"))),
    ("CFEulerAngles", 0x80, 0x0C, (("roll", "f4"), ("pitch", "f4"), ("yaw", "f4"))),
    ("CFStabilizedNorthVector", 0x80, 0x10, (("x", "f4"), ("y", "f4"), ("z", "f4"))),
    ("CFStabilizedUpVector", 0x80, 0x11, (("x", "f4"), ("y", "f4"), ("z", "f4"))),
    (
        "GPSCorrelationTimestamp",
        0x80,
        0x12,
        (("gps_time_of_week", "f8"), ("gps_week", "u2"), ("timestamp_flags", "u2")),
    ),
    ("FilterStatus", 0x82, 0x10, (("filter_state", "u2"), ("dynamics_mode", "u2"), ("status_flags", "u2"))),
    ("GPSTimestamp", 0x82, 0x11, (("time_of_week", "f8"), ("week", "u2"), ("valid_flags", "?"))),
    ("OrientationQuaternion", 0x82, 0x03, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("w", "f4"), ("valid", "?"))),
    ("OrientationEuler", 0x82, 0x05, (("roll", "f4"), ("pitch", "f4"), ("yaw", "f4"), ("valid", "?"))),
    ("AttitudeUncertaintyEuler", 0x82, 0x0A, (("roll", "f4"), ("pitch", "f4"), ("yaw", "f4"), ("valid", "?"))),
    ("AttitudeUncertaintyQuaternion", 0x82, 0x12, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("w", "f4"), ("valid", "?"))),
    (
        "OrientationMatrix",
        0x82,
        0x04,
        (
            ("m11", "f4"),
            ("m12", "f4"),
            ("m13", "f4"),
            ("m21", "f4"),
            ("m22", "f4"),
            ("m23", "f4"),
            ("m31", "f4"),
            ("m32", "f4"),
            ("m33", "f4"),
            ("valid", "?"),
        ),
    ),
    ("CompensatedAngularRate", 0x82, 0x0E, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("valid", "?"))),
    ("GyroBias", 0x82, 0x06, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("valid", "?"))),
    ("GyroBiasUncertainty", 0x82, 0x0B, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("valid", "?"))),
    ("CompensatedAcceleration", 0x82, 0x1C, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("valid", "?"))),
    ("LinearAcceleration", 0x82, 0x0D, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("valid", "?"))),
    ("PressureAltitude", 0x82, 0x21, (("pressure_altitude", "f4"), ("valid", "?"))),
    ("GravityVector", 0x82, 0x13, (("x", "f4"), ("y", "f4"), ("z", "f4"), ("valid", "?"))),
    ("WGS84LocalGravityMagnitude", 0x82, 0x0F, (("gravity_magnitude", "f4"), ("valid", "?"))),
)
# The record that dates a packet of its set: name -> (time-of-week item, week item).
TIME_ITEMS: dict[str, tuple[str, str]] = {
    "GPSCorrelationTimestamp": ("gps_time_of_week", "gps_week"),
    "GPSTimestamp": ("time_of_week", "week"),
}
# A packet's time in seconds: week * SECONDS_PER_WEEK + time of week.
SECONDS_PER_WEEK = 604800.0
# The two bytes every packet starts with, and the longest packet in bytes.
SYNC = b"\x75\x65"
MAX_PACKET = 261
