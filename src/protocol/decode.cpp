#include "decode.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace ahrs {
namespace {

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint64_t be64(const std::uint8_t* p) { return std::uint64_t{be32(p)} << 32 | be32(p + 4); }

constexpr std::size_t width(WireType t) {
    switch (t) {
        case WireType::F32: return 4;
        case WireType::F64: return 8;
        case WireType::U16:
        case WireType::Flag: return 2;
    }
    return 0;
}

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

const RecordSpec* find_record(ReadingKind kind, std::uint8_t field_descriptor, std::uint8_t& variant) {
    static const VariantIndex sensor = index_of(ReadingKind::Sensor);
    static const VariantIndex estimate = index_of(ReadingKind::Estimate);
    const std::uint8_t found = (kind == ReadingKind::Sensor ? sensor : estimate)[field_descriptor];
    if (found == 0) return nullptr;
    variant = static_cast<std::uint8_t>(found - 1);
    return &catalogue(kind)[variant];
}

}  // namespace

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
        if (body.size() - at < width(type)) return std::nullopt;
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
        at += width(type);
    }
    return reading;
}

void append_readings(const MipPacket& packet, std::vector<Reading>& out) {
    ReadingKind kind;
    if (packet.descriptor() == Descriptor::DataSensor) kind = ReadingKind::Sensor;
    else if (packet.descriptor() == Descriptor::DataEstimationFilter) kind = ReadingKind::Estimate;
    else return;

    const auto payload = packet.bytes();
    const std::size_t n = payload.size();
    for (std::size_t o = 0; o < n;) {
        const std::size_t length = payload[o];
        const std::size_t end = o + (length == 0 ? 1 : length);
        const std::size_t body_end = end < n ? end : n;
        // The body starts after the length byte; it may be empty.
        if (auto r = decode_record(kind, payload.subspan(o + 1, body_end - (o + 1)))) out.push_back(*r);
        o = end;
    }
}

std::vector<Reading> to_sensor_readings_with_options(const MipPacket& packet) {
    std::vector<Reading> out;
    append_readings(packet, out);
    return out;
}

}  // namespace ahrs
