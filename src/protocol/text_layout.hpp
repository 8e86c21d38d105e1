#pragma once
// Every text form of a packet: the line printed for a recorded stream, a
// JSON object per packet (one line of a JSON Lines file) and a CSV row per
// descriptor set. The exports start from the packet's flat decoding with the
// shortest digits of its floats found first; the printed line is written
// straight from the wire, record by record, as decode_flat walks it. The
// fixed text around the values is held in padded pieces, so each is copied
// in one fixed-size move and the write position then advances by its true
// length, into one character buffer that the caller reuses.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "packet_view.hpp"
#include "flat_decode.hpp"
#include "reading.hpp"
#include "record_row.hpp"
#include "shortest.hpp"
#include "text_piece.hpp"

namespace ahrs {

// One record in its line form, "Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })".

struct RecordPieces {
    TextPiece<64> head;                         // "Sensor(ScaledAccVector { x: "
    std::array<TextPiece<32>, kMaxItems> before;  // ", y: " before item i >= 1
};

// By Reading::slot().
const RecordPieces& record_pieces(std::size_t slot);

// A record's text never needs more than this at the write position.
constexpr std::size_t kRecordRoom = 64 + kMaxItems * (32 + kShortestRoom) + 8;

// 16-bit integer items and validity flags, whose text needs no conversion.
inline char* write_plain_item(char* out, WireType type, std::uint64_t v) {
    if (type == WireType::U16) return write_unsigned(out, v);
    std::memcpy(out, v != 0 ? "Valid\0\0" : "Invalid", 8);
    return out + (v != 0 ? 5 : 7);
}

// The head, then each item as `write_item(i, out)` writes it, with its
// separator before it.
template <class WriteItem>
char* write_items(char* out, const RecordPieces& pieces, std::size_t items, WriteItem&& write_item) {
    out = pieces.head.copy_to(out);
    out = write_item(std::size_t{0}, out);
    for (std::size_t i = 1; i < items; ++i) out = write_item(i, pieces.before[i].copy_to(out));
    return out;
}

// Head, items, separators, " })".
template <class WriteItem>
char* write_record(char* out, std::size_t slot, std::size_t items, WriteItem&& write_item) {
    out = write_items(out, record_pieces(slot), items, write_item);
    std::memcpy(out, " })", 4);
    return out + 3;
}

// A packet decoded into flat arrays with the shortest digits of all its
// floats found before any text is laid out.

struct PacketDigits {
    FlatPacket flat;
    std::array<Shortest, 128> values;  // by item index; floats only
    double time;                       // packet_time() of the whole packet, for the exports
};

// Decodes the payload for the exports: only the records in `keep` stay, and
// only their floats are converted; the time is the packet's whether its
// time record is kept or not.
void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, const RecordMask& keep,
                        PacketDigits& out);
// The same for the printed line, which needs every record and no time.
void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, PacketDigits& out);

// The line printed for one packet: its readings' text forms between square
// brackets, separated by ", ", then "\n": the records decode_flat gives.

// No packet's line, with the room its writers may use past its end, needs
// more than this.
std::size_t packet_line_capacity();

class PacketLine {
public:
    PacketLine();
    // Valid until the next call.
    std::string_view build(Descriptor set, std::span<const std::uint8_t> payload);
    // The line laid out at `out`, which has packet_line_capacity() bytes of
    // room; returns its end.
    char* write(char* out, Descriptor set, std::span<const std::uint8_t> payload);

private:
    std::unique_ptr<char[]> text_;
};

// The line of a packet whose digits are found already, laid out at `out`;
// returns its end. Needs at most kRecordRoom bytes per record, and 8 more,
// at `out`.
char* write_packet_line(char* out, const PacketDigits& packet);

// The export forms: floats in Python's layout at their wire width, flags as
// Valid and Invalid, a record that occurs twice written once (its last
// occurrence, as in the snapshot map), non-finite floats null in JSON; the
// packet's time (packet_time) beside its offset.

// What one packet's JSON line or CSV row may need at the write position: a
// payload holds at most 63 records, and no record needs more than
// kRecordRoom.
constexpr std::size_t kExportRoom = 64 * kRecordRoom + 256;

// {"offset": 0, "time": 1418256000.0, "set": "DataSensor", "readings": {"ScaledAccVector": {"x": 1.0, ...}}}
// and a newline, for the records in the packet (decode with the wanted
// mask). Returns the end of the text.
char* write_jsonl(char* out, std::uint64_t offset, Descriptor set, const PacketDigits& packet);

// packet,offset,time, then Record.item for every item of every column record.
void append_csv_header(std::string& out, std::span<const std::size_t> columns);
// The packet's row: a record it lacks leaves its cells empty; `columns` are
// slots in catalogue order.
char* write_csv_row(char* out, std::uint64_t index, std::uint64_t offset, std::span<const std::size_t> columns,
                    const PacketDigits& packet);

}  // namespace ahrs
