#include "packet_line.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "record_text.hpp"

namespace ahrs {
namespace {

std::size_t item_text_bound(WireType t) {
    switch (t) {
        case WireType::F32:
        case WireType::F64: return kShortestMaxText;
        case WireType::U16: return 5;
        case WireType::Flag: return 7;
    }
    return 0;
}

// The longest line a 255-byte payload can give: the records with the most
// text per payload byte, packed. Each record takes at least its field's
// length byte and body.
std::size_t line_capacity() {
    double per_byte = 0;
    for (ReadingKind kind : {ReadingKind::Sensor, ReadingKind::Estimate}) {
        const auto records = catalogue(kind);
        for (std::size_t v = 0; v < records.size(); ++v) {
            const RecordPieces& pieces = record_pieces(slot_of(kind, static_cast<std::uint8_t>(v)));
            std::size_t text = pieces.head.size + 5, wire = 2;
            for (std::size_t i = 0; i < records[v].items.size(); ++i) {
                const WireType t = records[v].items[i].type;
                text += item_text_bound(t) + (i ? pieces.before[i].size : 0);
                wire += wire_width(t);
            }
            per_byte = std::max(per_byte, static_cast<double>(text) / static_cast<double>(wire));
        }
    }
    return static_cast<std::size_t>(std::ceil(per_byte * 255)) + 2 + kRecordRoom;
}

}  // namespace

PacketLine::PacketLine() : text_(new char[line_capacity()]) {}

std::string_view PacketLine::build(Descriptor set, std::span<const std::uint8_t> payload) {
    decode_with_digits(set, payload, digits_);
    char* const start = text_.get();
    return {start, static_cast<std::size_t>(write_packet_line(start, digits_) - start)};
}

char* write_packet_line(char* out, const PacketDigits& packet) {
    const FlatPacket& flat = packet.flat;
    *out++ = '[';
    for (std::size_t r = 0; r < flat.record_count; ++r) {
        const FlatRecord& rec = flat.records[r];
        out = write_record(out, rec.slot, rec.count, [&](std::size_t i, char* at) {
            const std::size_t k = rec.first + i;
            const FlatItem& item = flat.items[k];
            if (item.type == WireType::F32 || item.type == WireType::F64) return write_shortest(at, packet.values[k]);
            return write_plain_item(at, item.type, item.raw);
        });
        std::memcpy(out, ", ", 2);
        out += 2;
    }
    if (flat.record_count) out -= 2;  // no separator after the last record
    std::memcpy(out, "]\n", 2);
    return out + 2;
}

}  // namespace ahrs
