#pragma once
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "flat_decode.hpp"
#include "reading.hpp"

namespace ahrs {

// A record as one packed row of a table: the packet's index among the
// well-formed packets, its byte offset (both unsigned 64-bit), its time (a
// double, seconds, NaN when the packet has no time record: packet_time()),
// then the record's items in catalogue order at their row width (float32,
// float64, uint16, and validity flags as one byte, 1 for Valid). Native byte
// order, no padding, so a row can be handed to an array library as it
// stands.
constexpr std::size_t kRowHeader = 24;

// A table's rows as they grow. It grows by reallocation, which for large
// tables moves pages instead of copying them, and hands out room without
// filling it first: rows are written once, in place.
class RowBuffer {
public:
    std::uint8_t* grow(std::size_t n);  // room for n more bytes; null when memory is out
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void drop(std::size_t n) { size_ -= n; }  // takes back the last n bytes
    void clear();  // and give the memory back

private:
    struct Free {
        void operator()(std::uint8_t* p) const;
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

std::size_t row_size(const RecordSpec& spec);

// A set of records, by slot.
using RecordMask = std::bitset<kRecordSlots>;

// Every record of a decoded packet appended to its table (by slot), each
// occurrence a row of its own. False when memory is out.
bool append_packet_rows(std::span<RowBuffer, kRecordSlots> tables, const FlatPacket& flat, std::uint64_t index,
                        std::uint64_t offset);

// A record's table laid out column by column, for array libraries that keep
// each column in one contiguous buffer (Arrow, Parquet writers): the row
// header's 8-byte columns, then the items in catalogue order, each column's
// values back to back at their row width. Every column starts at a multiple
// of kColumnAlign bytes from the start of the block.
constexpr std::size_t kColumnAlign = 64;

// A column outside the catalogue's items, by name and array type code.
struct NamedColumn {
    std::string_view name;
    std::string_view type_code;
};
// The row header's columns, in row order: what a packed row holds first.
inline constexpr NamedColumn kHeaderColumns[] = {{"packet", "u8"}, {"offset", "u8"}, {"time", "f8"}};
static_assert(std::size(kHeaderColumns) * 8 == kRowHeader);

// The byte width of each column, header first.
std::vector<std::size_t> column_widths(const RecordSpec& spec);
// Where each column starts in a block of `rows` rows, and (last) the block's size.
std::vector<std::size_t> column_starts(const RecordSpec& spec, std::size_t rows);
// `rows` packed rows (record_row.hpp) rewritten column by column into `out`,
// which holds column_starts(spec, rows).back() bytes.
void rows_to_columns(const RecordSpec& spec, const std::uint8_t* rows, std::size_t count, std::uint8_t* out);

}  // namespace ahrs
