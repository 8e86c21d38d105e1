#pragma once
// The wire underneath the decoder: big-endian items and the walk over a
// payload's fields.
#include <optional>
#include <span>

#include "descriptor.hpp"
#include "reading.hpp"

namespace ahrs {

// Multi-byte items as the wire has them: most significant byte first.
inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint64_t be64(const std::uint8_t* p) { return std::uint64_t{be32(p)} << 32 | be32(p + 4); }

// The record set a packet's descriptor set decodes with, if any.
std::optional<ReadingKind> reading_kind(Descriptor set);

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

}  // namespace ahrs
