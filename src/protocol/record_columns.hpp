#pragma once
// A record's table laid out column by column, for array libraries that keep
// each column in one contiguous buffer (Arrow, Parquet writers): the row
// header's 8-byte columns, then the items in catalogue order, each column's
// values back to back at their row width. Every column starts at a multiple
// of kColumnAlign bytes from the start of the block.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "reading.hpp"
#include "record_row.hpp"

namespace ahrs {

constexpr std::size_t kColumnAlign = 64;

// A column outside the catalogue's items, by name and array type code.
struct NamedColumn {
    std::string_view name;
    std::string_view type_code;
};
// The row header's columns, in row order: what record_row.hpp writes first.
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
