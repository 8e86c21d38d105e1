"""MIP packets as the simulated sensor sends them, and a scanner that finds them.

A packet is 75 65, descriptor set, payload length, payload, and a two-byte
Fletcher-style checksum over everything before it.  A payload is a run of
fields, each [length][descriptor][big-endian items].  Shared by the
simulator, the recorder, the tests and the benchmarks.
"""

import math
import struct
from itertools import accumulate
from operator import mul

SYNC = b"\x75\x65"
SENSOR_SET = 0x80
FILTER_SET = 0x82
COMMAND_SETS = frozenset({0x01, 0x0C, 0x0D, 0x0E, 0x0F, 0x7F})
DESCRIPTOR_SETS = COMMAND_SETS | {0x80, 0x81, 0x82, 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0xA0}
ACK_FIELD = 0xF1
MAX_PACKET = 261

# Per field: descriptor, item formats in wire order (struct codes, big-endian).
SENSOR_LAYOUT = (
    (0x04, "fff"),        # ScaledAccVector
    (0x05, "fff"),        # ScaledGyroVector
    (0x06, "fff"),        # ScaledMageVector
    (0x07, "fff"),        # DeltaThetaVector
    (0x08, "fff"),        # DeltaVelocityVector
    (0x17, "f"),          # ScaledAmbientPressure
    (0x09, "fffffffff"),  # CFOrientationMatrix
    (0x0A, "ffff"),       # CFQuaternion
    (0x0C, "fff"),        # CFEulerAngles
    (0x10, "fff"),        # CFStabilizedNorthVector
    (0x11, "fff"),        # CFStabilizedUpVector
    (0x12, "dHH"),        # GPSCorrelationTimestamp
)

FILTER_LAYOUT = (
    (0x10, "HHH"),         # FilterStatus
    (0x11, "dHH"),         # GPSTimestamp
    (0x03, "ffffH"),       # OrientationQuaternion
    (0x05, "fffH"),        # OrientationEuler
    (0x0A, "fffH"),        # AttitudeUncertaintyEuler
    (0x12, "ffffH"),       # AttitudeUncertaintyQuaternion
    (0x04, "fffffffffH"),  # OrientationMatrix
    (0x0E, "fffH"),        # CompensatedAngularRate
    (0x06, "fffH"),        # GyroBias
    (0x0B, "fffH"),        # GyroBiasUncertainty
    (0x1C, "fffH"),        # CompensatedAcceleration
    (0x0D, "fffH"),        # LinearAcceleration
    (0x21, "fH"),          # PressureAltitude
    (0x13, "fffH"),        # GravityVector
    (0x0F, "fH"),          # WGS84LocalGravityMagnitude
)
# The field of each set whose first item is the GPS time of week.
GPS_TIME_FIELDS = {SENSOR_SET: 0x12, FILTER_SET: 0x11}


def checksum(data):
    """Both sums over `data` (sync bytes included) as the two wire bytes.

    The second sum is the running total of the first, so each byte counts
    once per position still to come: a weighted sum, done without a loop.
    """
    n = len(data)
    first = sum(data) & 0xFF
    second = sum(map(mul, data, range(n, 0, -1))) & 0xFF
    return bytes((first, second))


def frame(descriptor_set, payload):
    """One whole packet around `payload`."""
    if len(payload) > 255:
        raise ValueError(f"payload of {len(payload)} bytes does not fit a packet")
    head = SYNC + bytes((descriptor_set, len(payload))) + payload
    return head + checksum(head)


def field(descriptor, formats, *values):
    body = struct.pack(">" + formats, *values)
    return bytes((len(body) + 2, descriptor)) + body


def walk_fields(payload):
    """(descriptor, data) of each field; a zero length byte steps one byte."""
    offset, n = 0, len(payload)
    while offset < n:
        length = payload[offset]
        end = offset + (length or 1)
        body = payload[offset + 1:min(end, n)]
        if body:
            yield body[0], bytes(body[1:])
        offset = end


class PayloadPacker:
    """Packs one value tuple per field of a layout into a payload, in one call."""

    def __init__(self, layout):
        self._struct = struct.Struct(">" + "".join("BB" + items for _, items in layout))
        self._heads = [(struct.calcsize(">" + items) + 2, desc) for desc, items in layout]
        self.offsets = list(accumulate((length for length, _ in self._heads), initial=0))[:-1]

    def pack(self, field_values):
        flat = []
        for head, values in zip(self._heads, field_values):
            flat.extend(head)
            flat.extend(values)
        return self._struct.pack(*flat)


class Packet:
    __slots__ = ("start", "descriptor_set", "payload", "raw")

    def __init__(self, start, raw):
        self.start = start
        self.raw = raw
        self.descriptor_set = raw[2]
        self.payload = raw[4:-2]

    @property
    def end(self):
        return self.start + len(self.raw)


class PacketScanner:
    """Finds well-formed packets in a byte stream that arrives piecewise.

    Junk is skipped a byte at a time, and a header whose checksum fails is
    treated as junk too, so a packet right after garbage is still found.
    Holds at most one packet's worth of bytes between calls.
    """

    def __init__(self):
        self._buf = bytearray()
        self._base = 0  # stream offset of _buf[0]
        self.skipped = 0

    def feed(self, data):
        self._buf += data
        found = []
        while True:
            packet = self._next()
            if packet is None:
                return found
            found.append(packet)

    def _drop(self, count, junk):
        del self._buf[:count]
        self._base += count
        if junk:
            self.skipped += count

    def _next(self):
        buf = self._buf
        while True:
            at = buf.find(SYNC)
            if at < 0:
                keep = 1 if buf[-1:] == SYNC[:1] else 0
                self._drop(len(buf) - keep, True)
                return None
            self._drop(at, True)
            if len(buf) < 4:
                return None
            if buf[2] not in DESCRIPTOR_SETS:
                self._drop(1, True)
                continue
            size = buf[3] + 6
            if len(buf) < size:
                return None
            raw = bytes(buf[:size])
            if checksum(raw[:-2]) != raw[-2:]:
                self._drop(1, True)
                continue
            packet = Packet(self._base, raw)
            self._drop(size, False)
            return packet


# --- the simulated sensor's packets ------------------------------------------

GRAVITY = 9.80665            # m/s^2
MAG_NED = (0.21, 0.0, 0.43)  # Gauss, north/east/down
GPS_WEEK = 2345
TOW_START = 345600.0         # s into the GPS week at stream time 0
GYRO_BIAS = (2.5e-4, -1.2e-4, 7e-5)          # rad/s
GYRO_BIAS_SIGMA = (5e-5, 5e-5, 8e-5)         # rad/s
ATTITUDE_SIGMA = (0.002, 0.002, 0.01)        # rad
QUATERNION_SIGMA = (0.001, 0.001, 0.005, 0.0005)
SETTLE_TIME = 1.0  # the filter flags its outputs Invalid until then
ROLL_AMP, ROLL_W = 0.30, 2 * math.pi * 0.05
PITCH_AMP, PITCH_W, PITCH_PHASE = 0.20, 2 * math.pi * 0.03, 0.5
YAW_RATE, YAW_START = 0.15, 0.2


def _rotate(m, v):
    return tuple(row[0] * v[0] + row[1] * v[1] + row[2] * v[2] for row in m)


def _wrap(angle):
    return (angle + math.pi) % (2 * math.pi) - math.pi


class Attitude:
    """A body that rocks in roll and pitch while turning slowly in yaw.

    `matrix` takes north-east-down vectors into the body frame, and
    `quaternion` (x, y, z, w) is the same rotation; `rates` are the body
    angular rates that the Euler-angle derivatives imply.
    """

    def __init__(self, t):
        roll = ROLL_AMP * math.sin(ROLL_W * t)
        pitch = PITCH_AMP * math.sin(PITCH_W * t + PITCH_PHASE)
        yaw = _wrap(YAW_START + YAW_RATE * t)
        self.euler = (roll, pitch, yaw)
        droll = ROLL_AMP * ROLL_W * math.cos(ROLL_W * t)
        dpitch = PITCH_AMP * PITCH_W * math.cos(PITCH_W * t + PITCH_PHASE)
        cr, sr = math.cos(roll), math.sin(roll)
        cp, sp = math.cos(pitch), math.sin(pitch)
        cy, sy = math.cos(yaw), math.sin(yaw)
        self.rates = (droll - YAW_RATE * sp,
                      dpitch * cr + YAW_RATE * sr * cp,
                      -dpitch * sr + YAW_RATE * cr * cp)
        self.matrix = ((cp * cy, cp * sy, -sp),
                       (sr * sp * cy - cr * sy, sr * sp * sy + cr * cy, sr * cp),
                       (cr * sp * cy + sr * sy, cr * sp * sy - sr * cy, cr * cp))
        hr, hp, hy = roll / 2, pitch / 2, yaw / 2
        chr_, shr = math.cos(hr), math.sin(hr)
        chp, shp = math.cos(hp), math.sin(hp)
        chy, shy = math.cos(hy), math.sin(hy)
        self.quaternion = (shr * chp * chy - chr_ * shp * shy,
                           chr_ * shp * chy + shr * chp * shy,
                           chr_ * chp * shy - shr * shp * chy,
                           chr_ * chp * chy + shr * shp * shy)

    @property
    def flat_matrix(self):
        return self.matrix[0] + self.matrix[1] + self.matrix[2]


def _altitude(t):
    return 120.0 + 0.5 * math.sin(0.1 * t)


def _pressure(altitude):
    return 1013.25 * (1.0 - 2.25577e-5 * altitude) ** 5.25588  # mbar


def sensor_fields(t, dt, tow=None):
    """Item values of every sensor-set field at stream time t (s)."""
    att = Attitude(t)
    down = _rotate(att.matrix, (0.0, 0.0, 1.0))
    acc = tuple(-GRAVITY * c for c in down)  # specific force at rest
    gyro = tuple(r + b for r, b in zip(att.rates, GYRO_BIAS))
    return (
        acc,
        gyro,
        _rotate(att.matrix, MAG_NED),
        tuple(r * dt for r in att.rates),
        tuple(a * dt for a in acc),
        (_pressure(_altitude(t)),),
        att.flat_matrix,
        att.quaternion,
        att.euler,
        _rotate(att.matrix, (1.0, 0.0, 0.0)),
        tuple(-c for c in down),
        (TOW_START + t if tow is None else tow, GPS_WEEK, 0x0007),
    )


def filter_fields(t, tow=None):
    """Item values of every filter-set field at stream time t (s)."""
    att = Attitude(t)
    valid = 1 if t >= SETTLE_TIME else 0
    gravity = tuple(GRAVITY * c for c in _rotate(att.matrix, (0.0, 0.0, 1.0)))
    return (
        (2 if valid else 1, 1, 0),
        (TOW_START + t if tow is None else tow, GPS_WEEK, valid),
        att.quaternion + (valid,),
        att.euler + (valid,),
        ATTITUDE_SIGMA + (valid,),
        QUATERNION_SIGMA + (valid,),
        att.flat_matrix + (valid,),
        att.rates + (valid,),
        GYRO_BIAS + (valid,),
        GYRO_BIAS_SIGMA + (valid,),
        tuple(-g for g in gravity) + (valid,),
        (0.0, 0.0, 0.0, valid),
        (_altitude(t), valid),
        gravity + (valid,),
        (GRAVITY, valid),
    )


SENSOR_PACKER = PayloadPacker(SENSOR_LAYOUT)
FILTER_PACKER = PayloadPacker(FILTER_LAYOUT)


class PacketBuilder:
    """Packet k of the simulated stream: even k sensor data, odd k filter data.

    Each pair shares one sample instant, so `rate` pairs a second is `rate`
    packets of each kind a second.  With `counted`, the GPS time-of-week
    items carry the packet number k instead of a time, so a reader can tell
    whether any packet went missing.
    """

    def __init__(self, rate=100.0, counted=False):
        self.rate = float(rate)
        self.counted = counted

    def sensor(self, t, tow=None):
        values = sensor_fields(t, 1.0 / self.rate, tow)
        return frame(SENSOR_SET, SENSOR_PACKER.pack(values))

    def filter(self, t, tow=None):
        return frame(FILTER_SET, FILTER_PACKER.pack(filter_fields(t, tow)))

    def packet(self, k):
        t = (k // 2) / self.rate
        tow = float(k) if self.counted else None
        return self.sensor(t, tow) if k % 2 == 0 else self.filter(t, tow)
