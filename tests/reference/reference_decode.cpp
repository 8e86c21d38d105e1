#include "reference_decode.hpp"

#include <bit>
#include <cstring>

#include "protocol/flat_decode.hpp"

namespace ahrs {
namespace {

const RecordSpec* find_record(ReadingKind kind, std::uint8_t field_descriptor, std::uint8_t& variant) {
    const auto records = catalogue(kind);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].field_descriptor != field_descriptor) continue;
        variant = static_cast<std::uint8_t>(i);
        return &records[i];
    }
    return nullptr;
}

template <class T>
std::uint8_t* put(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
}

}  // namespace

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

bool append_row(RowBuffer& rows, std::uint64_t packet, std::uint64_t offset, double time, const Reading& r) {
    const RecordSpec& spec = r.spec();
    std::uint8_t* room = rows.grow(row_size(spec));
    if (!room) return false;
    std::uint8_t* p = put(put(put(room, packet), offset), time);
    for (std::size_t i = 0; i < spec.items.size(); ++i) {
        const double v = r.item(i);
        switch (spec.items[i].type) {
            case WireType::F32: p = put(p, static_cast<float>(v)); break;
            case WireType::F64: p = put(p, v); break;
            case WireType::U16: p = put(p, static_cast<std::uint16_t>(v)); break;
            case WireType::Flag: p = put(p, static_cast<std::uint8_t>(v != 0)); break;
        }
    }
    return true;
}

RecordMask records_in(const MipPacket& packet) {
    std::vector<Reading> readings;
    append_readings(packet, readings);
    RecordMask found;
    for (const Reading& r : readings) found.set(r.slot());
    return found;
}

}  // namespace ahrs
