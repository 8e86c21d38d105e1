#include "text_layout.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "float_text.hpp"

namespace ahrs {

// The line form's pieces, by slot.

namespace {

RecordPieces make_pieces(ReadingKind kind, const RecordSpec& spec) {
    RecordPieces p;
    p.head = make_piece<64>(std::string(kind_name(kind)) + "(" + std::string(spec.name) + " { " +
                            std::string(spec.items[0].name) + ": ");
    for (std::size_t i = 1; i < spec.items.size(); ++i)
        p.before[i] = make_piece<32>(", " + std::string(spec.items[i].name) + ": ");
    return p;
}

}  // namespace

const RecordPieces& record_pieces(std::size_t slot) {
    static const auto table = [] {
        std::array<RecordPieces, kSensorVariants + kEstimateVariants> t;
        for (ReadingKind kind : {ReadingKind::Sensor, ReadingKind::Estimate}) {
            const auto records = catalogue(kind);
            for (std::size_t v = 0; v < records.size(); ++v)
                t[slot_of(kind, static_cast<std::uint8_t>(v))] = make_pieces(kind, records[v]);
        }
        return t;
    }();
    return table[slot];
}

// Digits first.

namespace {

void convert_floats(PacketDigits& out, std::size_t first, std::size_t count) {
    for (std::size_t i = first; i < first + count; ++i) {
        const FlatItem& item = out.flat.items[i];
        if (item.type == WireType::F32)
            out.values[i] = shortest(std::bit_cast<float>(static_cast<std::uint32_t>(item.raw)));
        else if (item.type == WireType::F64) out.values[i] = shortest(std::bit_cast<double>(item.raw));
    }
}

}  // namespace

void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, PacketDigits& out) {
    decode_flat(set, payload, out.flat);
    convert_floats(out, 0, out.flat.item_count);
}

void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, const RecordMask& keep,
                        PacketDigits& out) {
    if (keep.all()) {
        decode_with_digits(set, payload, out);
        out.time = packet_time(out.flat);
        return;
    }
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

// The printed line.

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

std::size_t packet_line_capacity() {
    static const std::size_t capacity = line_capacity();
    return capacity;
}

PacketLine::PacketLine() : text_(new char[packet_line_capacity()]) {}

std::string_view PacketLine::build(Descriptor set, std::span<const std::uint8_t> payload) {
    char* const start = text_.get();
    return {start, static_cast<std::size_t>(write(start, set, payload) - start)};
}

namespace {

// A record in its line form: its pieces, the float32 items it starts with
// (most records are nothing else, and those items need no look at their
// types) and the types of the items after them. Most of the others end in
// one validity flag after their floats: their flag's text comes with the
// record's end, " }), ", in one piece chosen by the flag.
struct LineRecord {
    RecordPieces pieces;
    std::uint8_t floats = 0;
    std::uint8_t count = 0;
    bool flag_last = false;  // the floats, then a validity flag and nothing else
    bool mixed = false;      // any other items, which go item by item
    std::array<TextPiece<32>, 2> ends;  // by the flag's value; both the same without one
    std::array<WireType, kMaxItems> types{};
};

LineRecord make_line_record(std::size_t slot) {
    LineRecord rec;
    rec.pieces = record_pieces(slot);
    const RecordSpec& spec = slot_spec(slot);
    for (const ItemSpec& item : spec.items) {
        if (item.type == WireType::F32 && rec.floats == rec.count) ++rec.floats;
        rec.types[rec.count++] = item.type;
    }
    rec.flag_last = rec.count == rec.floats + 1 && rec.types[rec.floats] == WireType::Flag;
    rec.mixed = rec.count != rec.floats && !rec.flag_last;
    rec.ends.fill(make_piece<32>(" }), "));
    if (rec.flag_last) {
        std::string before = ", ";
        before.append(spec.items[rec.floats].name).append(": ");
        rec.ends = {make_piece<32>(std::string(before).append("Invalid }), ")),
                    make_piece<32>(std::string(before).append("Valid }), "))};
    }
    return rec;
}

// A field's body (its descriptor byte and items) holds a whole record when
// it has at least `need` bytes; no body has kNoRecord, as a field's length
// byte counts itself, so a field of no record fails the same one test.
constexpr std::uint8_t kNoRecord = 0xFF;
struct LineField {
    std::uint8_t need = kNoRecord;
    std::uint8_t slot = 0;
};
using LineFields = std::array<LineField, 256>;

// Everything the line looks up, in one place found once per packet: the
// records by slot, and the fields by descriptor byte for each set that has
// records (by the set's descriptor byte; none for the others).
struct LineTables {
    std::array<LineRecord, kRecordSlots> records;
    std::array<LineFields, 2> fields;
    std::array<const LineFields*, 256> by_set{};
};

LineFields make_line_fields(ReadingKind kind) {
    LineFields t;
    const FieldTable& table = field_table(kind);
    for (std::size_t d = 0; d < table.size(); ++d)
        if (table[d].known) t[d] = {table[d].body, table[d].slot};
    return t;
}

const LineTables& line_tables() {
    static const auto tables = [] {
        auto t = std::make_unique<LineTables>();
        for (std::size_t s = 0; s < kRecordSlots; ++s) t->records[s] = make_line_record(s);
        for (ReadingKind kind : {ReadingKind::Sensor, ReadingKind::Estimate}) {
            LineFields& fields = t->fields[kind == ReadingKind::Sensor ? 0 : 1];
            fields = make_line_fields(kind);
            for (unsigned b = 0; b < t->by_set.size(); ++b)
                if (reading_kind(static_cast<Descriptor>(b)) == kind) t->by_set[b] = &fields;
        }
        return t;
    }();
    return *tables;
}

// A record with other items after its floats (or among them), written item
// by item; a validity flag other than 0 or 1 drops the record (as
// decode_flat drops it), so its text is taken back.
[[gnu::noinline]] char* write_mixed_record(char* out, const LineRecord& rec, const std::uint8_t* p) {
    char* const start = out;
    out = rec.pieces.head.copy_to(out);
    for (std::size_t i = 0; i < rec.count; ++i) {
        if (i) out = rec.pieces.before[i].copy_to(out);
        switch (const WireType type = rec.types[i]) {
            case WireType::F32:
                out = write_shortest(out, std::bit_cast<float>(be32(p)));
                p += 4;
                break;
            case WireType::F64:
                out = write_shortest(out, std::bit_cast<double>(be64(p)));
                p += 8;
                break;
            default:
                const std::uint16_t v = be16(p);
                if (type == WireType::Flag && v > 1) return start;
                out = write_plain_item(out, type, v);
                p += 2;
        }
    }
    return rec.ends[0].copy_to(out);
}

// A record found in the payload: where its items start, and its end's text
// (with its flag's, read as the record is found: a flag other than 0 or 1
// drops the record, as decode_flat drops it, before any text is written).
struct FoundRecord {
    const LineRecord* record;
    const std::uint8_t* items;
    const TextPiece<32>* end;
};
// Each field that holds a record takes at least three payload bytes.
using FoundRecords = std::array<FoundRecord, 96>;

// The walk of for_each_record, over the same field table: the records of a
// payload, in field order.
std::size_t find_records(const LineTables& tables, const LineFields& fields, std::span<const std::uint8_t> payload,
                         FoundRecords& found) {
    const std::uint8_t* const p = payload.data();
    const std::size_t n = payload.size();
    std::size_t count = 0;
    for (std::size_t o = 0; o < n;) {
        const std::size_t length = p[o];
        if (length < 2) {  // no body; a length of 0 still moves on by one byte
            ++o;
            continue;
        }
        const std::size_t room = n - o;  // a field may be cut short by the payload's end
        const std::size_t body = (length < room ? length : room) - 1;  // its descriptor byte and items
        if (body != 0) {
            const LineField& field = fields[p[o + 1]];
            if (body >= field.need) {
                const LineRecord& rec = tables.records[field.slot];
                const std::uint8_t* const items = p + o + 2;
                const unsigned flag = rec.flag_last ? be16(items + 4 * std::size_t{rec.floats}) : 0u;
                if (flag <= 1) found[count++] = {&rec, items, &rec.ends[flag]};
            }
        }
        o += length;
    }
    return count;
}

// One record's text, with ", " after it, written as its items are read from
// the wire: the head, the float run, then the end with the flag's text.
[[gnu::always_inline]] inline char* write_wire_record(char* out, const FoundRecord& found) {
    const LineRecord& rec = *found.record;
    if (rec.mixed) [[unlikely]]
        return write_mixed_record(out, rec, found.items);
    out = float_text::write_float_run(rec.pieces.head.copy_to(out), found.items, rec.floats, rec.pieces.before.data());
    return found.end->copy_to(out);
}

}  // namespace

// Straight from the wire: the payload's records are found first, then each
// one's text is laid out from its items with no decoded arrays between. The
// two loops apart keep the float writer's registers free of the walk's.
char* PacketLine::write(char* out, Descriptor set, std::span<const std::uint8_t> payload) {
    const LineTables& tables = line_tables();
    *out++ = '[';
    char* const first = out;
    if (const LineFields* fields = tables.by_set[static_cast<std::uint8_t>(set)]) {
        FoundRecords found;
        const std::size_t count = find_records(tables, *fields, payload, found);
        for (const FoundRecord* r = found.data(); r != found.data() + count; ++r) out = write_wire_record(out, *r);
    }
    if (out != first) out -= 2;  // no separator after the last record
    std::memcpy(out, "]\n", 2);
    return out + 2;
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

// JSON Lines and CSV.

namespace {

bool is_float(WireType t) { return t == WireType::F32 || t == WireType::F64; }

// A value as CSV writes it: Python's repr of floats, flags bare.
char* write_csv_item(char* out, const PacketDigits& p, std::size_t k) {
    const FlatItem& item = p.flat.items[k];
    if (is_float(item.type)) return write_shortest_repr(out, p.values[k]);
    return write_plain_item(out, item.type, item.raw);
}

// JSON has no number for not-a-number and the infinities: null.
char* write_json_float(char* out, const Shortest& digits) {
    if (digits.kind == ShortestKind::Infinite || digits.kind == ShortestKind::NaN) {
        std::memcpy(out, "null", 4);
        return out + 4;
    }
    return write_shortest_repr(out, digits);
}

// JSON: flags quoted.
char* write_json_item(char* out, const PacketDigits& p, std::size_t k) {
    const FlatItem& item = p.flat.items[k];
    if (is_float(item.type)) return write_json_float(out, p.values[k]);
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
            // Appended piece by piece: GCC 12 sees a false overlap in
            // "literal" + std::string (-Wrestrict).
            std::string head = "\"";
            head.append(spec.name).append("\": {\"").append(spec.items[0].name).append("\": ");
            t[s].head = make_piece<64>(head);
            for (std::size_t i = 1; i < spec.items.size(); ++i)
                t[s].before[i] = make_piece<32>(std::string(", \"").append(spec.items[i].name).append("\": "));
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
    out = write_unsigned(out + 11, offset);
    std::memcpy(out, ", \"time\": ", 10);
    out = write_json_float(out + 10, shortest(packet.time));
    out = json_set_piece(set).copy_to(out);
    const RecordIndex index = index_records(flat);
    for (std::size_t k = 0; k < index.count; ++k) {
        const FlatRecord& rec = flat.records[index.last[index.order[k]]];
        if (k) {
            std::memcpy(out, ", ", 2);
            out += 2;
        }
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
    const auto last = index_records(flat).last;
    out = write_unsigned(out, index);
    *out++ = ',';
    out = write_unsigned(out, offset);
    *out++ = ',';
    out = write_shortest_repr(out, shortest(packet.time));
    for (std::size_t slot : columns) {
        if (last[slot] == kAbsent) {
            out = write_empty_cells(out, slot_spec(slot).items.size());
            continue;
        }
        const FlatRecord& rec = flat.records[last[slot]];
        for (std::size_t i = 0; i < rec.count; ++i) {
            *out++ = ',';
            out = write_csv_item(out, packet, rec.first + i);
        }
    }
    *out++ = '\n';
    return out;
}

void append_csv_header(std::string& out, std::span<const std::size_t> columns) {
    out += "packet,offset,time";
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
