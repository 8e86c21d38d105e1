#include "export_layout.hpp"

#include <array>
#include <string>

namespace ahrs {
namespace {

constexpr std::uint8_t kAbsent = 0xFF;

// The index in the packet's record list of each record's first occurrence:
// a JSON object has one value per key, a row one cell per column.
std::array<std::uint8_t, kRecordSlots> first_of_each(const FlatPacket& flat) {
    std::array<std::uint8_t, kRecordSlots> first;
    first.fill(kAbsent);
    for (std::size_t r = flat.record_count; r-- > 0;) first[flat.records[r].slot] = static_cast<std::uint8_t>(r);
    return first;
}

bool is_float(WireType t) { return t == WireType::F32 || t == WireType::F64; }

// A value as CSV writes it: Python's repr of floats, flags bare.
char* write_csv_item(char* out, const PacketDigits& p, std::size_t k) {
    const FlatItem& item = p.flat.items[k];
    if (is_float(item.type)) return write_shortest_repr(out, p.values[k]);
    return write_plain_item(out, item.type, item.raw);
}

// JSON: flags quoted, and null for the floats it has no number for.
char* write_json_item(char* out, const PacketDigits& p, std::size_t k) {
    const FlatItem& item = p.flat.items[k];
    if (is_float(item.type)) {
        const ShortestKind kind = p.values[k].kind;
        if (kind == ShortestKind::Infinite || kind == ShortestKind::NaN) {
            std::memcpy(out, "null", 4);
            return out + 4;
        }
        return write_shortest_repr(out, p.values[k]);
    }
    if (item.type == WireType::U16) return write_unsigned(out, item.raw);
    std::memcpy(out, item.raw != 0 ? "\"Valid\"\0\0" : "\"Invalid\"", 9);
    return out + (item.raw != 0 ? 7 : 9);
}

// "Name": {"x":  and , "y":  and so on, by slot.
const RecordPieces& json_pieces(std::size_t slot) {
    static const auto table = [] {
        std::array<RecordPieces, kRecordSlots> t;
        for (std::size_t s = 0; s < kRecordSlots; ++s) {
            const RecordSpec& spec = slot_spec(s);
            t[s].head = make_piece<64>("\"" + std::string(spec.name) + "\": {\"" + std::string(spec.items[0].name) + "\": ");
            for (std::size_t i = 1; i < spec.items.size(); ++i)
                t[s].before[i] = make_piece<32>(", \"" + std::string(spec.items[i].name) + "\": ");
        }
        return t;
    }();
    return table[slot];
}

// , "set": "DataSensor", "readings": {  by descriptor byte.
const TextPiece<64>& json_set_piece(Descriptor set) {
    static const auto table = [] {
        std::array<TextPiece<64>, 256> t;
        for (unsigned b = 0; b < t.size(); ++b)
            if (auto d = descriptor_from_byte(static_cast<std::uint8_t>(b)))
                t[b] = make_piece<64>(", \"set\": \"" + std::string(descriptor_name(*d)) + "\", \"readings\": {");
        return t;
    }();
    return table[static_cast<std::uint8_t>(set)];
}

// Runs of empty cells for a record a packet lacks, one comma each.
char* write_empty_cells(char* out, std::size_t n) {
    std::memcpy(out, ",,,,,,,,,,,,,,,,", 16);
    return out + n;
}
static_assert(kMaxItems <= 16);

}  // namespace

char* write_jsonl(char* out, std::uint64_t offset, Descriptor set, const PacketDigits& packet) {
    const FlatPacket& flat = packet.flat;
    std::memcpy(out, "{\"offset\": ", 11);
    out = json_set_piece(set).copy_to(write_unsigned(out + 11, offset));
    const auto first = first_of_each(flat);
    bool any = false;
    for (std::size_t r = 0; r < flat.record_count; ++r) {
        const FlatRecord& rec = flat.records[r];
        if (first[rec.slot] != r) continue;
        if (any) {
            std::memcpy(out, ", ", 2);
            out += 2;
        }
        any = true;
        out = write_items(out, json_pieces(rec.slot), rec.count,
                          [&](std::size_t i, char* at) { return write_json_item(at, packet, rec.first + i); });
        *out++ = '}';
    }
    std::memcpy(out, "}}\n", 3);
    return out + 3;
}

char* write_csv_row(char* out, std::uint64_t index, std::uint64_t offset, std::span<const std::size_t> columns,
                    const PacketDigits& packet) {
    const FlatPacket& flat = packet.flat;
    const auto first = first_of_each(flat);
    out = write_unsigned(out, index);
    *out++ = ',';
    out = write_unsigned(out, offset);
    for (std::size_t slot : columns) {
        if (first[slot] == kAbsent) {
            out = write_empty_cells(out, slot_spec(slot).items.size());
            continue;
        }
        const FlatRecord& rec = flat.records[first[slot]];
        for (std::size_t i = 0; i < rec.count; ++i) {
            *out++ = ',';
            out = write_csv_item(out, packet, rec.first + i);
        }
    }
    *out++ = '\n';
    return out;
}

void append_csv_header(std::string& out, std::span<const std::size_t> columns) {
    out += "packet,offset";
    for (std::size_t slot : columns) {
        const RecordSpec& spec = slot_spec(slot);
        for (const ItemSpec& item : spec.items) {
            out += ',';
            out += spec.name;
            out += '.';
            out += item.name;
        }
    }
    out += '\n';
}

}  // namespace ahrs
