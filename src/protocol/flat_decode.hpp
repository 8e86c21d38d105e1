#pragma once
// The one decoder: a packet's payload turned into its records as flat
// arrays, each item kept as its raw wire value, with no allocation. Every
// form a packet takes (Reading values and the snapshot map, the printed
// line, JSON Lines, CSV, table rows, Python dicts) is a layout over it.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packet_view.hpp"
#include "reading.hpp"

namespace ahrs {

class MipPacket;

// The wire underneath: big-endian items and the walk over a payload's
// fields.

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

// Reads a validity flag from two big-endian bytes: 0 and 1 only.
std::optional<ValidFlag> read_valid_flag(std::span<const std::uint8_t> two_bytes);

// What decoding needs of a record, looked up by field descriptor byte in a
// direct table per descriptor set, built from the catalogue.
struct FieldLayout {
    bool known = false;
    std::uint8_t slot = 0;
    std::uint8_t body = 0;  // field descriptor byte and items
    std::uint8_t count = 0;
    std::array<WireType, kMaxItems> types{};
};
using FieldTable = std::array<FieldLayout, 256>;
const FieldTable& field_table(ReadingKind kind);

// Calls visit(layout, items) for every field of the payload that holds a
// whole record of the set, in field order; `items` is its first item's first
// byte. Nothing for a set other than sensor data and estimation filter.
// A record whose validity flag is neither 0 nor 1 is the visitor's to drop.
template <class Visit>
void for_each_record(Descriptor set, std::span<const std::uint8_t> payload, Visit&& visit) {
    const auto kind = reading_kind(set);
    if (!kind) return;
    const FieldTable& table = field_table(*kind);
    for_each_field(payload, [&](std::span<const std::uint8_t> body) {
        if (body.empty()) return;  // nothing decodes from a field without a body
        const FieldLayout& layout = table[body[0]];
        if (layout.known && body.size() >= layout.body) visit(layout, body.data() + 1);
    });
}

// The decoding.

struct FlatRecord {
    std::uint8_t slot;   // Reading::slot()
    std::uint8_t first;  // index of its first item
    std::uint8_t count;
};

struct FlatItem {
    std::uint64_t raw;  // float32 or float64 bits, 16-bit integer, flag 0 or 1
    WireType type;
};

// Every decoded record takes at least four payload bytes and every item at
// least two, so a 255-byte payload fits.
struct FlatPacket {
    std::array<FlatRecord, 64> records;
    std::array<FlatItem, 128> items;
    std::size_t record_count = 0;
    std::size_t item_count = 0;
};

// The records of the payload's fields that decode, in field order (the rules
// of to_sensor_readings_with_options); nothing for a set other than sensor
// data and estimation filter.
void decode_flat(Descriptor set, std::span<const std::uint8_t> payload, FlatPacket& out);

// An item's value as a double: float32 widens exactly, 16-bit integers and
// flags (0 Invalid, 1 Valid) are exact too.
double item_value(const FlatItem& item);

// A record that occurs more than once in a packet has one answer wherever a
// packet becomes one value per record (the snapshot map, JSON Lines, CSV,
// Python's snapshot dict): its last occurrence, in the place of its first.
constexpr std::uint8_t kAbsent = 0xFF;
struct RecordIndex {
    std::array<std::uint8_t, kRecordSlots> last;   // by slot: index in `records`, or kAbsent
    std::array<std::uint8_t, kRecordSlots> order;  // the slots present, in order of first occurrence
    std::size_t count = 0;
};
RecordIndex index_records(const FlatPacket& flat);

// The packet's time in seconds, GPS week * 604800 + time of week, from its
// time record (the last one, when it holds several); NaN when it has none.
double packet_time(const FlatPacket& flat);

// The Reading values of the packet's records, in order.
Reading reading_at(const FlatPacket& flat, std::size_t record);
void append_readings(const FlatPacket& flat, std::vector<Reading>& out);
std::vector<Reading> to_sensor_readings_with_options(const MipPacket& packet);

}  // namespace ahrs
