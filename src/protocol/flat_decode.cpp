#include "flat_decode.hpp"

#include <bit>
#include <cstring>

namespace ahrs {
namespace {

template <class T>
T load_be(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) {
        if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
        if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
        if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    }
    return v;
}

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
            e.body += item.type == WireType::F64 ? 8 : item.type == WireType::F32 ? 4 : 2;
        }
        t[records[v].field_descriptor] = e;
    }
    return t;
}

const FieldTable* table_of(Descriptor set) {
    static const FieldTable sensor = make_table(ReadingKind::Sensor);
    static const FieldTable estimate = make_table(ReadingKind::Estimate);
    if (set == Descriptor::DataSensor) return &sensor;
    if (set == Descriptor::DataEstimationFilter) return &estimate;
    return nullptr;
}

// The record's items from its body (descriptor byte first); false when a
// validity flag is neither 0 nor 1, which drops the record.
bool decode_items(const FieldEntry& entry, const std::uint8_t* body, FlatItem* out) {
    const std::uint8_t* p = body + 1;
    for (std::size_t i = 0; i < entry.count; ++i) {
        const WireType type = entry.types[i];
        std::uint64_t raw;
        switch (type) {
            case WireType::F32: raw = load_be<std::uint32_t>(p); p += 4; break;
            case WireType::F64: raw = load_be<std::uint64_t>(p); p += 8; break;
            default:
                raw = load_be<std::uint16_t>(p);
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
    const FieldTable* table = table_of(set);
    if (!table) return;
    const std::size_t n = payload.size();
    for (std::size_t o = 0; o < n;) {
        const std::size_t length = payload[o];
        const std::size_t end = o + (length == 0 ? 1 : length);
        const std::size_t body_end = end < n ? end : n;
        const std::size_t body_size = body_end - (o + 1);  // may be 0: then nothing decodes
        if (body_size > 0) {
            const std::uint8_t* body = payload.data() + o + 1;
            const FieldEntry& entry = (*table)[body[0]];
            if (entry.known && body_size >= entry.body && decode_items(entry, body, &out.items[out.item_count])) {
                out.records[out.record_count++] = {entry.slot, static_cast<std::uint8_t>(out.item_count), entry.count};
                out.item_count += entry.count;
            }
        }
        o = end;
    }
}

}  // namespace ahrs
