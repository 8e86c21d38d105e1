#pragma once
// A packet's own clock: the GPS time of its time record (sensor packets
// carry GPSCorrelationTimestamp, filter packets GPSTimestamp), week
// included, so a week's roll-over is no jump back.
#include "../protocol/flat_decode.hpp"
#include "../protocol/mip_packet.hpp"

namespace ahrs {

// packet_time() of the decoded packet: week * 604800 + time of week, NaN
// when it has no time record. `scratch` is any FlatPacket the caller can
// spare.
double packet_gps_time(const MipPacket& packet, FlatPacket& scratch);

}  // namespace ahrs
