#include "flat_decode.hpp"

#include <bit>
#include <limits>

#include "mip_packet.hpp"

namespace ahrs {

std::optional<ReadingKind> reading_kind(Descriptor set) {
    if (set == Descriptor::DataSensor) return ReadingKind::Sensor;
    if (set == Descriptor::DataEstimationFilter) return ReadingKind::Estimate;
    return std::nullopt;
}

std::optional<ValidFlag> read_valid_flag(std::span<const std::uint8_t> two_bytes) {
    if (two_bytes.size() < 2) return std::nullopt;
    switch (be16(two_bytes.data())) {
        case 0: return ValidFlag::Invalid;
        case 1: return ValidFlag::Valid;
        default: return std::nullopt;
    }
}

namespace {

FieldTable make_table(ReadingKind kind) {
    FieldTable t{};
    const auto records = catalogue(kind);
    for (std::size_t v = records.size(); v-- > 0;) {  // the first of equal descriptors wins
        FieldLayout e;
        e.known = true;
        e.slot = static_cast<std::uint8_t>(slot_of(kind, static_cast<std::uint8_t>(v)));
        e.body = 1;
        for (const auto& item : records[v].items) {
            e.types[e.count++] = item.type;
            e.body += static_cast<std::uint8_t>(wire_width(item.type));
        }
        t[records[v].field_descriptor] = e;
    }
    return t;
}

// The record's items; false when a validity flag is neither 0 nor 1, which
// drops the record.
bool decode_items(const FieldLayout& entry, const std::uint8_t* p, FlatItem* out) {
    for (std::size_t i = 0; i < entry.count; ++i) {
        const WireType type = entry.types[i];
        std::uint64_t raw;
        switch (type) {
            case WireType::F32:
                raw = be32(p);
                p += 4;
                break;
            case WireType::F64:
                raw = be64(p);
                p += 8;
                break;
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

const FieldTable& field_table(ReadingKind kind) {
    static const FieldTable sensor = make_table(ReadingKind::Sensor);
    static const FieldTable estimate = make_table(ReadingKind::Estimate);
    return kind == ReadingKind::Sensor ? sensor : estimate;
}

void decode_flat(Descriptor set, std::span<const std::uint8_t> payload, FlatPacket& out) {
    out.record_count = out.item_count = 0;
    for_each_record(set, payload, [&](const FieldLayout& layout, const std::uint8_t* items) {
        if (!decode_items(layout, items, &out.items[out.item_count])) return;
        out.records[out.record_count++] = {layout.slot, static_cast<std::uint8_t>(out.item_count), layout.count};
        out.item_count += layout.count;
    });
}

double item_value(const FlatItem& item) {
    switch (item.type) {
        case WireType::F32: return std::bit_cast<float>(static_cast<std::uint32_t>(item.raw));
        case WireType::F64: return std::bit_cast<double>(item.raw);
        default: return static_cast<double>(item.raw);
    }
}

RecordIndex index_records(const FlatPacket& flat) {
    RecordIndex index;
    index.last.fill(kAbsent);
    for (std::size_t r = 0; r < flat.record_count; ++r) {
        const std::uint8_t slot = flat.records[r].slot;
        if (index.last[slot] == kAbsent) index.order[index.count++] = slot;
        index.last[slot] = static_cast<std::uint8_t>(r);
    }
    return index;
}

double packet_time(const FlatPacket& flat) {
    if (flat.record_count == 0) return std::numeric_limits<double>::quiet_NaN();
    const TimeRecord& time = time_record(slot_kind(flat.records[0].slot));  // one set per packet
    for (std::size_t r = flat.record_count; r-- > 0;) {
        const FlatRecord& rec = flat.records[r];
        if (rec.slot != time.slot) continue;
        return item_value(flat.items[rec.first + time.week]) * kSecondsPerWeek +
               item_value(flat.items[rec.first + time.time_of_week]);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

Reading reading_at(const FlatPacket& flat, std::size_t record) {
    const FlatRecord& rec = flat.records[record];
    const std::size_t slot = rec.slot;
    const ReadingKind kind = slot_kind(slot);
    Reading reading(kind, static_cast<std::uint8_t>(slot - slot_of(kind, 0)));
    for (std::size_t i = 0; i < rec.count; ++i) reading.set_item(i, item_value(flat.items[rec.first + i]));
    return reading;
}

void append_readings(const FlatPacket& flat, std::vector<Reading>& out) {
    for (std::size_t r = 0; r < flat.record_count; ++r) out.push_back(reading_at(flat, r));
}

std::vector<Reading> to_sensor_readings_with_options(const MipPacket& packet) {
    FlatPacket flat;
    decode_flat(packet.descriptor(), packet.bytes(), flat);
    std::vector<Reading> out;
    out.reserve(flat.record_count);
    append_readings(flat, out);
    return out;
}

}  // namespace ahrs
