#pragma once
// One well-formed packet as a live reader hands it on: the packet itself
// (a plain value), where it lies in the bytes received, and when it came.
#include <cstdint>
#include <limits>

#include "../protocol/mip_packet.hpp"

namespace ahrs {

struct LiveSample {
    MipPacket packet{Descriptor::DataSensor, {}};
    std::uint64_t index = 0;    // among the well-formed packets since the open
    std::uint64_t offset = 0;   // of its first sync byte, in all the bytes received
    std::uint64_t host_ns = 0;  // CLOCK_MONOTONIC when its last byte was read
    std::uint64_t wall_ns = 0;  // CLOCK_REALTIME at the same instant
    double device_time = 0;     // GPS seconds from its time item, NaN without one
    // CLOCK_MONOTONIC when the device took it, as the clock model estimates
    // it; kNoTime before the model has a fit (numpy reads it as NaT).
    std::int64_t time_ns = kNoTime;

    static constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();
};

}  // namespace ahrs
