#pragma once
#include <optional>
#include <span>
#include <vector>

#include "mip_packet.hpp"
#include "reading.hpp"

namespace ahrs {

// Walks the payload field by field and appends one reading per field that
// decodes; fields that do not decode are dropped without a trace. Only the
// sensor-data and estimation-filter sets decode; any other set gives nothing.
void append_readings(const MipPacket& packet, std::vector<Reading>& out);

// Multi-byte items as the wire has them: most significant byte first.
inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint64_t be64(const std::uint8_t* p) { return std::uint64_t{be32(p)} << 32 | be32(p + 4); }

// The record set a packet's descriptor set decodes with, if any.
std::optional<ReadingKind> reading_kind(Descriptor set);
// The record of the set with this field descriptor, and its variant; null
// when the set has none.
const RecordSpec* find_record(ReadingKind kind, std::uint8_t field_descriptor, std::uint8_t& variant);
// Bytes an item takes on the wire.
std::size_t wire_width(WireType type);

// Calls visit(body) for every field of a payload, in order: the body is the
// field descriptor byte and the record data, cut short where the payload
// ends, and empty for a field whose length byte is 0 or 1 (a length of 0
// still moves on by one byte).
template <class Visit>
void for_each_field(std::span<const std::uint8_t> payload, Visit&& visit) {
    const std::size_t n = payload.size();
    for (std::size_t o = 0; o < n;) {
        const std::size_t length = payload[o];
        const std::size_t end = o + (length == 0 ? 1 : length);
        const std::size_t body_end = end < n ? end : n;
        visit(payload.subspan(o + 1, body_end - (o + 1)));
        o = end;
    }
}

// The packet's readings, in the order of their fields.
std::vector<Reading> to_sensor_readings_with_options(const MipPacket& packet);

}  // namespace ahrs
