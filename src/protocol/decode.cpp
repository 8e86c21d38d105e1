#include "decode.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace ahrs {
namespace {


// Field descriptor -> variant + 1 (0: none), one table per set, built once
// from the catalogue: the lookup runs for every field of every packet.
using VariantIndex = std::array<std::uint8_t, 256>;

VariantIndex index_of(ReadingKind kind) {
    VariantIndex index{};
    const auto records = catalogue(kind);
    for (std::size_t i = records.size(); i-- > 0;)  // the first of equal descriptors wins
        index[records[i].field_descriptor] = static_cast<std::uint8_t>(i + 1);
    return index;
}

}  // namespace

std::size_t wire_width(WireType t) {
    switch (t) {
        case WireType::F32: return 4;
        case WireType::F64: return 8;
        case WireType::U16:
        case WireType::Flag: return 2;
    }
    return 0;
}

const RecordSpec* find_record(ReadingKind kind, std::uint8_t field_descriptor, std::uint8_t& variant) {
    static const VariantIndex sensor = index_of(ReadingKind::Sensor);
    static const VariantIndex estimate = index_of(ReadingKind::Estimate);
    const std::uint8_t found = (kind == ReadingKind::Sensor ? sensor : estimate)[field_descriptor];
    if (found == 0) return nullptr;
    variant = static_cast<std::uint8_t>(found - 1);
    return &catalogue(kind)[variant];
}

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

std::optional<Reading> decode_record(ReadingKind kind, std::span<const std::uint8_t> body) {
    if (body.empty()) return std::nullopt;
    std::uint8_t variant = 0;
    const RecordSpec* spec = find_record(kind, body[0], variant);
    if (!spec) return std::nullopt;
    Reading reading(kind, variant);
    std::size_t at = 1;
    for (std::size_t i = 0; i < spec->items.size(); ++i) {
        const WireType type = spec->items[i].type;
        if (body.size() - at < wire_width(type)) return std::nullopt;
        const std::uint8_t* p = body.data() + at;
        switch (type) {
            case WireType::F32: reading.set_item(i, std::bit_cast<float>(be32(p))); break;
            case WireType::F64: reading.set_item(i, std::bit_cast<double>(be64(p))); break;
            case WireType::U16: reading.set_item(i, be16(p)); break;
            case WireType::Flag: {
                auto flag = read_valid_flag(body.subspan(at, 2));
                if (!flag) return std::nullopt;
                reading.set_item(i, static_cast<double>(*flag));
                break;
            }
        }
        at += wire_width(type);
    }
    return reading;
}

void append_readings(const MipPacket& packet, std::vector<Reading>& out) {
    const auto kind = reading_kind(packet.descriptor());
    if (!kind) return;
    for_each_field(packet.bytes(), [&](std::span<const std::uint8_t> body) {
        if (auto r = decode_record(*kind, body)) out.push_back(*r);
    });
}

std::vector<Reading> to_sensor_readings_with_options(const MipPacket& packet) {
    std::vector<Reading> out;
    append_readings(packet, out);
    return out;
}

}  // namespace ahrs
