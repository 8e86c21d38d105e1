"""Builds MIP packets and fields for tests."""
import struct

SENSOR = 0x80
ESTIMATE = 0x82
# The three commands that set the sensor up, as they go on the wire.
CONFIGURE = [bytes.fromhex(h) for h in ("756501020202e1c7", "75650c0505110101000319", "75650c050511010300051d")]


def checksum(body: bytes) -> bytes:
    a = b = 0
    for x in body:
        a = (a + x) & 0xFF
        b = (b + a) & 0xFF
    return bytes([a, b])


def packet(descriptor_set: int, payload: bytes = b"") -> bytes:
    body = bytes([0x75, 0x65, descriptor_set, len(payload)]) + payload
    return body + checksum(body)


def corrupted(p: bytes) -> bytes:
    """The packet with one bit of its checksum flipped."""
    return p[:-1] + bytes([p[-1] ^ 1])


def field(descriptor: int, fmt: str = "", *values) -> bytes:
    data = struct.pack(">" + fmt, *values)
    return bytes([len(data) + 2, descriptor]) + data


def acc(x=1.0, y=2.0, z=3.0) -> bytes:
    return field(0x04, "fff", x, y, z)


def euler(roll=0.5, pitch=-0.25, yaw=1.0, valid=1) -> bytes:
    return field(0x05, "fffH", roll, pitch, yaw, valid)
