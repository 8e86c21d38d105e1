#pragma once
// One record in its line form, "Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })",
// laid out into a character buffer. The fixed text around the values is held
// in padded pieces, so each is copied in one fixed-size move and the write
// position then advances by its true length.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "reading.hpp"
#include "shortest.hpp"

namespace ahrs {

template <std::size_t N>
struct TextPiece {
    std::array<char, N> text{};
    std::uint8_t size = 0;

    char* copy_to(char* out) const {
        std::memcpy(out, text.data(), N);
        return out + size;
    }
};

// Every label of the catalogue fits; a longer one would be cut, which the
// text tests would show at once.
template <std::size_t N>
TextPiece<N> make_piece(std::string_view text) {
    TextPiece<N> p;
    const std::size_t n = text.size() < N ? text.size() : N;
    text.copy(p.text.data(), n);
    p.size = static_cast<std::uint8_t>(n);
    return p;
}

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

}  // namespace ahrs
