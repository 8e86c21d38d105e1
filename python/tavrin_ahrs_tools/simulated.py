"""The simulated sensor's packets: a body that rocks and turns, measured.

Every value agrees with every other (the matrix, quaternion and Euler angles
describe one attitude, the acceleration is gravity seen in the body frame),
so tests can check a decoder's output for consistency, not just shape.
Values are in the declared default units (units()): the scaled accelerations
in g, delta-velocity in g*s, the filter's accelerations in m/s^2.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence

from .frames import FILTER_SET, RECORDS, SENSOR_SET, PayloadPacker, frame, set_records

GRAVITY = 9.80665  # m/s^2
MAG_NED = (0.21, 0.0, 0.43)  # Gauss, north/east/down
GPS_WEEK = 2345
TOW_START = 345600.0  # s into the GPS week at stream time 0
GYRO_BIAS = (2.5e-4, -1.2e-4, 7e-5)  # rad/s
GYRO_BIAS_SIGMA = (5e-5, 5e-5, 8e-5)  # rad/s
ATTITUDE_SIGMA = (0.002, 0.002, 0.01)  # rad
QUATERNION_SIGMA = (0.001, 0.001, 0.005, 0.0005)
SETTLE_TIME = 1.0  # the filter flags its outputs Invalid until then
ROLL_AMP, ROLL_W = 0.30, 2 * math.pi * 0.05
PITCH_AMP, PITCH_W, PITCH_PHASE = 0.20, 2 * math.pi * 0.03, 0.5
YAW_RATE, YAW_START = 0.15, 0.2


# A 3x3 matrix by rows, and a 3-vector.
Matrix = tuple[tuple[float, float, float], tuple[float, float, float], tuple[float, float, float]]
Vector = Sequence[float]
# Any matrix by rows, and one as the helpers build it.
Rows = Sequence[Vector]
Built = tuple[tuple[float, ...], ...]


def _rotate(m: Rows, v: Vector) -> tuple[float, ...]:
    return tuple(row[0] * v[0] + row[1] * v[1] + row[2] * v[2] for row in m)


def _wrap(angle: float) -> float:
    return (angle + math.pi) % (2 * math.pi) - math.pi


# How the simulated sensor writes an attitude, unless told otherwise: the
# quaternion scalar last, the matrix taking world vectors into the body, the
# Euler angles turned yaw, pitch, roll, in a north-east-down world.
DEFAULT_CONVENTION = {"quaternion": "xyzw", "matrix": "world_to_body", "euler": "ZYX", "world": "ned"}
# ENU coordinates from NED ones (and back: it is its own inverse).
NED_TO_ENU = ((0.0, 1.0, 0.0), (1.0, 0.0, 0.0), (0.0, 0.0, -1.0))
RATE_STEP = 1e-5  # s, for the body rates of a turn order without a closed form


def _multiply(a: Rows, b: Rows) -> Built:
    return tuple(tuple(sum(a[i][k] * b[k][j] for k in range(3)) for j in range(3)) for i in range(3))


def _transpose(m: Rows) -> Built:
    return tuple(zip(*m))


def _turn(axis: int, angle: float) -> Matrix:
    c, s = math.cos(angle), math.sin(angle)
    return (
        ((1.0, 0.0, 0.0), (0.0, c, -s), (0.0, s, c)),
        ((c, 0.0, s), (0.0, 1.0, 0.0), (-s, 0.0, c)),
        ((c, -s, 0.0), (s, c, 0.0), (0.0, 0.0, 1.0)),
    )[axis]


def _angles(t: float) -> tuple[float, float, float]:
    return (
        ROLL_AMP * math.sin(ROLL_W * t),
        PITCH_AMP * math.sin(PITCH_W * t + PITCH_PHASE),
        _wrap(YAW_START + YAW_RATE * t),
    )


def _body_to_world(angles: Vector, sequence: str) -> Built:
    """The rotation of (roll, pitch, yaw) turned in `sequence` (intrinsic)."""
    m: Built = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))
    for letter in sequence:
        axis = "XYZ".index(letter)
        m = _multiply(m, _turn(axis, angles[axis]))
    return m


def _quaternion(m: Rows) -> tuple[float, float, float, float]:
    """(x, y, z, w) of a rotation matrix, w >= 0."""
    w = math.sqrt(max(0.0, 1.0 + m[0][0] + m[1][1] + m[2][2])) / 2
    x = math.copysign(math.sqrt(max(0.0, 1.0 + m[0][0] - m[1][1] - m[2][2])) / 2, m[2][1] - m[1][2])
    y = math.copysign(math.sqrt(max(0.0, 1.0 - m[0][0] + m[1][1] - m[2][2])) / 2, m[0][2] - m[2][0])
    z = math.copysign(math.sqrt(max(0.0, 1.0 - m[0][0] - m[1][1] + m[2][2])) / 2, m[1][0] - m[0][1])
    return x, y, z, w


class Attitude:
    """A body that rocks in roll and pitch while turning slowly in yaw.

    `matrix` takes north-east-down vectors into the body frame (what the
    body-frame measurements are made from), `rates` are the body angular
    rates. `written` is the attitude as the sensor writes it under
    `convention` (see DEFAULT_CONVENTION): (matrix items row by row,
    quaternion items in wire order, Euler angles).
    """

    euler: tuple[float, float, float]
    matrix: Built
    rates: tuple[float, ...]
    written: tuple[tuple[float, ...], tuple[float, ...], tuple[float, ...]]

    def __init__(self, t: float, convention: Mapping[str, str] | None = None) -> None:
        convention = convention or DEFAULT_CONVENTION
        if convention == DEFAULT_CONVENTION:
            self._closed_form(t)
        else:
            self._general(t, convention)

    def _general(self, t: float, convention: Mapping[str, str]) -> None:
        sequence, enu = convention["euler"], convention["world"] == "enu"

        def to_ned(at: float) -> Built:
            world = _body_to_world(_angles(at), sequence)
            return _multiply(NED_TO_ENU, world) if enu else world

        self.euler = _angles(t)
        world = _body_to_world(self.euler, sequence)
        body_to_ned = to_ned(t)
        self.matrix = _transpose(body_to_ned)
        turn = _multiply(_transpose(to_ned(t - RATE_STEP)), to_ned(t + RATE_STEP))
        self.rates = tuple((turn[i][j] - turn[j][i]) / (4 * RATE_STEP) for i, j in ((2, 1), (0, 2), (1, 0)))
        x, y, z, w = _quaternion(world)
        quaternion = (x, y, z, w) if convention["quaternion"] == "xyzw" else (w, x, y, z)
        written = world if convention["matrix"] == "body_to_world" else _transpose(world)
        self.written = (sum(written, ()), quaternion, self.euler)

    def _closed_form(self, t: float) -> None:
        roll, pitch, yaw = self.euler = _angles(t)
        droll = ROLL_AMP * ROLL_W * math.cos(ROLL_W * t)
        dpitch = PITCH_AMP * PITCH_W * math.cos(PITCH_W * t + PITCH_PHASE)
        cr, sr = math.cos(roll), math.sin(roll)
        cp, sp = math.cos(pitch), math.sin(pitch)
        cy, sy = math.cos(yaw), math.sin(yaw)
        self.rates = (droll - YAW_RATE * sp, dpitch * cr + YAW_RATE * sr * cp, -dpitch * sr + YAW_RATE * cr * cp)
        self.matrix = (
            (cp * cy, cp * sy, -sp),
            (sr * sp * cy - cr * sy, sr * sp * sy + cr * cy, sr * cp),
            (cr * sp * cy + sr * sy, cr * sp * sy - sr * cy, cr * cp),
        )
        hr, hp, hy = roll / 2, pitch / 2, yaw / 2
        chr_, shr = math.cos(hr), math.sin(hr)
        chp, shp = math.cos(hp), math.sin(hp)
        chy, shy = math.cos(hy), math.sin(hy)
        quaternion = (
            shr * chp * chy - chr_ * shp * shy,
            chr_ * shp * chy + shr * chp * shy,
            chr_ * chp * shy - shr * shp * chy,
            chr_ * chp * chy + shr * shp * shy,
        )
        self.written = (sum(self.matrix, ()), quaternion, self.euler)


def _altitude(t: float) -> float:
    return 120.0 + 0.5 * math.sin(0.1 * t)


def _pressure(altitude: float) -> float:
    return 1013.25 * (1.0 - 2.25577e-5 * altitude) ** 5.25588  # mbar


# A record's item values in wire order, by record name.
Values = dict[str, tuple[float, ...]]


def sensor_values(t: float, dt: float, tow: float | None = None, convention: Mapping[str, str] | None = None) -> Values:
    """Item values of every sensor-set record at stream time t (s)."""
    att = Attitude(t, convention)
    down = _rotate(att.matrix, (0.0, 0.0, 1.0))
    acc = tuple(-c for c in down)  # specific force at rest, in g
    matrix, quaternion, euler = att.written
    return {
        "ScaledAccVector": acc,
        "ScaledGyroVector": tuple(r + b for r, b in zip(att.rates, GYRO_BIAS)),
        "ScaledMageVector": _rotate(att.matrix, MAG_NED),
        "DeltaThetaVector": tuple(r * dt for r in att.rates),
        "DeltaVelocityVector": tuple(a * dt for a in acc),  # g*s
        "ScaledAmbientPressure": (_pressure(_altitude(t)),),
        "CFOrientationMatrix": matrix,
        "CFQuaternion": quaternion,
        "CFEulerAngles": euler,
        "CFStabilizedNorthVector": _rotate(att.matrix, (1.0, 0.0, 0.0)),
        "CFStabilizedUpVector": tuple(-c for c in down),
        "GPSCorrelationTimestamp": (TOW_START + t if tow is None else tow, GPS_WEEK, 0x0007),
    }


def filter_values(t: float, tow: float | None = None, convention: Mapping[str, str] | None = None) -> Values:
    """Item values of every filter-set record at stream time t (s)."""
    att = Attitude(t, convention)
    matrix, quaternion, euler = att.written
    valid = 1 if t >= SETTLE_TIME else 0
    gravity = tuple(GRAVITY * c for c in _rotate(att.matrix, (0.0, 0.0, 1.0)))
    return {
        "FilterStatus": (2 if valid else 1, 1, 0),
        "GPSTimestamp": (TOW_START + t if tow is None else tow, GPS_WEEK, valid),
        "OrientationQuaternion": quaternion + (valid,),
        "OrientationEuler": euler + (valid,),
        "AttitudeUncertaintyEuler": ATTITUDE_SIGMA + (valid,),
        "AttitudeUncertaintyQuaternion": QUATERNION_SIGMA + (valid,),
        "OrientationMatrix": matrix + (valid,),
        "CompensatedAngularRate": att.rates + (valid,),
        "GyroBias": GYRO_BIAS + (valid,),
        "GyroBiasUncertainty": GYRO_BIAS_SIGMA + (valid,),
        "CompensatedAcceleration": tuple(-g for g in gravity) + (valid,),
        "LinearAcceleration": (0.0, 0.0, 0.0, valid),
        "PressureAltitude": (_altitude(t), valid),
        "GravityVector": gravity + (valid,),
        "WGS84LocalGravityMagnitude": (GRAVITY, valid),
    }


def packer_for(descriptor_set: int, values: Values) -> PayloadPacker:
    """The packer of the set's records that the simulator gives values for,
    in catalogue order: a record the catalogue gains is left out of the
    simulated packets until it is given values here."""
    unknown = sorted(values.keys() - RECORDS.keys())
    if unknown:
        raise LookupError(f"simulated records not in the catalogue: {', '.join(unknown)}")
    return PayloadPacker(r for r in set_records(descriptor_set) if r.name in values)


SENSOR_PACKER = packer_for(SENSOR_SET, sensor_values(0.0, 0.01))
FILTER_PACKER = packer_for(FILTER_SET, filter_values(0.0))


def sensor_fields(
    t: float, dt: float, tow: float | None = None, convention: Mapping[str, str] | None = None
) -> tuple[tuple[float, ...], ...]:
    """Item values of every simulated sensor-set record, in catalogue order."""
    values = sensor_values(t, dt, tow, convention)
    return tuple(values[r.name] for r in SENSOR_PACKER.records)


def filter_fields(
    t: float, tow: float | None = None, convention: Mapping[str, str] | None = None
) -> tuple[tuple[float, ...], ...]:
    """Item values of every simulated filter-set record, in catalogue order."""
    values = filter_values(t, tow, convention)
    return tuple(values[r.name] for r in FILTER_PACKER.records)


class PacketBuilder:
    """Packet k of the simulated stream: even k sensor data, odd k filter data.

    Each pair shares one sample instant, so `rate` pairs a second is `rate`
    packets of each kind a second.  With `counted`, the GPS time-of-week
    items carry the packet number k instead of a time, so a reader can tell
    whether any packet went missing.
    """

    def __init__(self, rate: float = 100.0, counted: bool = False, convention: Mapping[str, str] | None = None) -> None:
        self.rate = float(rate)
        self.counted = counted
        self.convention = {**DEFAULT_CONVENTION, **(convention or {})}

    def sensor(self, t: float, tow: float | None = None) -> bytes:
        return frame(SENSOR_SET, SENSOR_PACKER.pack(sensor_fields(t, 1.0 / self.rate, tow, self.convention)))

    def filter(self, t: float, tow: float | None = None) -> bytes:
        return frame(FILTER_SET, FILTER_PACKER.pack(filter_fields(t, tow, self.convention)))

    def packet(self, k: int) -> bytes:

        t = (k // 2) / self.rate
        tow = float(k) if self.counted else None
        return self.sensor(t, tow) if k % 2 == 0 else self.filter(t, tow)
