#include "flat_decode.hpp"

#include "decode.hpp"

namespace ahrs {
namespace {

// Field descriptor to record, per descriptor set, as a direct table, with
// what decoding needs of the record kept beside it.
struct FieldEntry {
    bool known = false;
    std::uint8_t slot = 0;
    std::uint8_t body = 0;  // field descriptor byte and items
    std::uint8_t count = 0;
    std::array<WireType, kMaxItems> types{};
};
using FieldTable = std::array<FieldEntry, 256>;

FieldTable make_table(ReadingKind kind) {
    FieldTable t{};
    const auto records = catalogue(kind);
    for (std::size_t v = records.size(); v-- > 0;) {  // the first match wins, as in decode_record
        FieldEntry e;
        e.known = true;
        e.slot = static_cast<std::uint8_t>(Reading(kind, static_cast<std::uint8_t>(v)).slot());
        e.body = 1;
        for (const auto& item : records[v].items) {
            e.types[e.count++] = item.type;
            e.body += static_cast<std::uint8_t>(wire_width(item.type));
        }
        t[records[v].field_descriptor] = e;
    }
    return t;
}

const FieldTable& table_of(ReadingKind kind) {
    static const FieldTable sensor = make_table(ReadingKind::Sensor);
    static const FieldTable estimate = make_table(ReadingKind::Estimate);
    return kind == ReadingKind::Sensor ? sensor : estimate;
}

// The record's items from its body (descriptor byte first); false when a
// validity flag is neither 0 nor 1, which drops the record.
bool decode_items(const FieldEntry& entry, const std::uint8_t* body, FlatItem* out) {
    const std::uint8_t* p = body + 1;
    for (std::size_t i = 0; i < entry.count; ++i) {
        const WireType type = entry.types[i];
        std::uint64_t raw;
        switch (type) {
            case WireType::F32: raw = be32(p); p += 4; break;
            case WireType::F64: raw = be64(p); p += 8; break;
            default:
                raw = be16(p);
                p += 2;
                if (type == WireType::Flag && raw > 1) return false;
        }
        out[i] = {raw, type};
    }
    return true;
}

}  // namespace

void decode_flat(Descriptor set, std::span<const std::uint8_t> payload, FlatPacket& out) {
    out.record_count = out.item_count = 0;
    const auto kind = reading_kind(set);
    if (!kind) return;
    const FieldTable& table = table_of(*kind);
    for_each_field(payload, [&](std::span<const std::uint8_t> body) {
        if (body.empty()) return;  // nothing decodes from a field without a body
        const FieldEntry& entry = table[body[0]];
        if (entry.known && body.size() >= entry.body && decode_items(entry, body.data(), &out.items[out.item_count])) {
            out.records[out.record_count++] = {entry.slot, static_cast<std::uint8_t>(out.item_count), entry.count};
            out.item_count += entry.count;
        }
    });
}

}  // namespace ahrs
