#include "flat_decode.hpp"

namespace ahrs {
namespace {

constexpr std::size_t width(WireType t) { return t == WireType::F64 ? 8 : t == WireType::F32 ? 4 : 2; }

std::uint64_t read_be(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// Field descriptor to record, per descriptor set, as a direct table; the
// record's body size is kept with it.
struct FieldEntry {
    std::uint8_t slot = 0;
    std::uint8_t body = 0;  // field descriptor byte and items
    bool known = false;
};
using FieldTable = std::array<FieldEntry, 256>;

FieldTable make_table(ReadingKind kind) {
    FieldTable t{};
    const auto records = catalogue(kind);
    for (std::size_t v = records.size(); v-- > 0;) {  // the first match wins, as in decode_record
        std::size_t body = 1;
        for (const auto& item : records[v].items) body += width(item.type);
        t[records[v].field_descriptor] = {static_cast<std::uint8_t>(Reading(kind, static_cast<std::uint8_t>(v)).slot()),
                                          static_cast<std::uint8_t>(body), true};
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

const RecordSpec& spec_of(std::size_t slot) {
    if (slot < kSensorVariants) return catalogue(ReadingKind::Sensor)[slot];
    return catalogue(ReadingKind::Estimate)[slot - kSensorVariants];
}

// The record's items from its body (descriptor byte first); false when a
// validity flag is neither 0 nor 1, which drops the record.
bool decode_items(const RecordSpec& spec, const std::uint8_t* body, FlatPacket& out) {
    std::size_t at = 1;
    for (const auto& item : spec.items) {
        const std::size_t n = width(item.type);
        const std::uint64_t raw = read_be(body + at, n);
        if (item.type == WireType::Flag && raw > 1) return false;
        out.items[out.item_count++] = {raw, item.type};
        at += n;
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
            if (entry.known && body_size >= entry.body) {
                const std::size_t first = out.item_count;
                const RecordSpec& spec = spec_of(entry.slot);
                if (decode_items(spec, body, out))
                    out.records[out.record_count++] = {entry.slot, static_cast<std::uint8_t>(first),
                                                       static_cast<std::uint8_t>(spec.items.size())};
                else
                    out.item_count = first;
            }
        }
        o = end;
    }
}

}  // namespace ahrs
