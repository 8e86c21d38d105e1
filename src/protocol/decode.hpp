#pragma once
#include <vector>

#include "mip_packet.hpp"
#include "reading.hpp"

namespace ahrs {

// Walks the payload field by field and appends one reading per field that
// decodes; fields that do not decode are dropped without a trace. Only the
// sensor-data and estimation-filter sets decode; any other set gives nothing.
void append_readings(const MipPacket& packet, std::vector<Reading>& out);

// The packet's readings, in the order of their fields.
std::vector<Reading> to_sensor_readings_with_options(const MipPacket& packet);

}  // namespace ahrs
