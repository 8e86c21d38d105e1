#include "gps_time.hpp"

#include <bit>
#include <cmath>
#include <string_view>

#include "../protocol/record_row.hpp"

namespace ahrs {
namespace {

// A time record: its slot and where its two items stand.
struct Clock {
    std::size_t slot = kRecordSlots;
    std::size_t time_of_week = 0;
    std::size_t week = 0;
};

std::size_t item_index(const RecordSpec& spec, std::string_view name) {
    for (std::size_t i = 0; i < spec.items.size(); ++i)
        if (spec.items[i].name == name) return i;
    return spec.items.size();
}

Clock find_clock(std::string_view record, std::string_view time_of_week, std::string_view week) {
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        const RecordSpec& spec = slot_spec(slot);
        if (spec.name == record) return {slot, item_index(spec, time_of_week), item_index(spec, week)};
    }
    return {};
}

const Clock& clock_of(std::size_t slot) {
    static const Clock sensor = find_clock("GPSCorrelationTimestamp", "gps_time_of_week", "gps_week");
    static const Clock filter = find_clock("GPSTimestamp", "time_of_week", "week");
    static const Clock none;
    return slot == sensor.slot ? sensor : slot == filter.slot ? filter : none;
}

}  // namespace

double packet_gps_time(const MipPacket& packet, FlatPacket& scratch) {
    decode_flat(packet.descriptor(), packet.bytes(), scratch);
    for (std::size_t r = 0; r < scratch.record_count; ++r) {
        const FlatRecord& rec = scratch.records[r];
        const Clock& c = clock_of(rec.slot);
        if (c.slot == kRecordSlots || c.time_of_week >= rec.count || c.week >= rec.count) continue;
        const double tow = std::bit_cast<double>(scratch.items[rec.first + c.time_of_week].raw);
        const auto week = static_cast<double>(scratch.items[rec.first + c.week].raw);
        return week * kSecondsPerWeek + tow;
    }
    return NAN;
}

}  // namespace ahrs
