#include "packet_digits.hpp"

#include <bit>

namespace ahrs {
namespace {

void convert_floats(PacketDigits& out, std::size_t first, std::size_t count) {
    for (std::size_t i = first; i < first + count; ++i) {
        const FlatItem& item = out.flat.items[i];
        if (item.type == WireType::F32)
            out.values[i] = shortest(std::bit_cast<float>(static_cast<std::uint32_t>(item.raw)));
        else if (item.type == WireType::F64)
            out.values[i] = shortest(std::bit_cast<double>(item.raw));
    }
}

}  // namespace

void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, PacketDigits& out) {
    decode_flat(set, payload, out.flat);
    out.time = packet_time(out.flat);
    convert_floats(out, 0, out.flat.item_count);
}

void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, const RecordMask& keep,
                        PacketDigits& out) {
    if (keep.all()) return decode_with_digits(set, payload, out);
    decode_flat(set, payload, out.flat);
    out.time = packet_time(out.flat);
    // Records outside `keep` leave the record list; their items stay where
    // they are, unread.
    std::size_t kept = 0;
    for (std::size_t r = 0; r < out.flat.record_count; ++r) {
        const FlatRecord rec = out.flat.records[r];
        if (!keep[rec.slot]) continue;
        out.flat.records[kept++] = rec;
        convert_floats(out, rec.first, rec.count);
    }
    out.flat.record_count = kept;
}

}  // namespace ahrs
