#pragma once
// One well-formed packet as a live reader hands it on: the packet itself
// (a plain value), where it lies in the bytes received, and when it came;
// the same laid out as a recording's rows, and the Sensor's queue of them.
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

#include "../protocol/mip_packet.hpp"
#include "../protocol/record_row.hpp"
#include "bounded_queue.hpp"

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

// Live samples as the packed rows of a recording's tables (record_row.hpp),
// each row followed by the sample's host time (unsigned 64-bit nanoseconds)
// and its estimated time of measurement (signed, LiveSample::kNoTime for none).
using SampleTables = std::array<RowBuffer, kRecordSlots>;

// False when memory is out. `scratch` holds nothing between calls.
bool append_sample_rows(SampleTables& out, SampleTables& scratch, const LiveSample& s);

// The Sensor's queue of samples: bounded at its capacity and growing only
// as samples arrive, with the descriptor that wakes event loops and the
// newest sample kept for latest().
class SampleQueue final : public BoundedQueue<LiveSample> {
public:
    // Null when the descriptor cannot be had (errno says why). capacity >= 1.
    static std::unique_ptr<SampleQueue> create(std::size_t capacity, Overflow overflow) {
        return make<SampleQueue>({capacity, overflow, false, true, true});
    }

private:
    friend class BoundedQueue<LiveSample>;
    using BoundedQueue::BoundedQueue;
};

}  // namespace ahrs
