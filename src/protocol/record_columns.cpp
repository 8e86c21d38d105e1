#include "record_columns.hpp"

#include <algorithm>
#include <cstring>

#include "record_row.hpp"

namespace ahrs {
namespace {

// Rows are taken a block at a time, every column of a block before the next,
// so each row is read from memory once rather than once per column.
constexpr std::size_t kBlockRows = 2048;

template <std::size_t Width>
void copy_column(const std::uint8_t* row, std::size_t row_size, std::size_t n, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i, row += row_size, out += Width) std::memcpy(out, row, Width);
}

void copy_column(std::size_t width, const std::uint8_t* row, std::size_t row_size, std::size_t n, std::uint8_t* out) {
    switch (width) {
        case 8: return copy_column<8>(row, row_size, n, out);
        case 4: return copy_column<4>(row, row_size, n, out);
        case 2: return copy_column<2>(row, row_size, n, out);
        default: return copy_column<1>(row, row_size, n, out);
    }
}

}  // namespace

std::vector<std::size_t> column_widths(const RecordSpec& spec) {
    std::vector<std::size_t> widths(kRowHeader / 8, 8);
    for (const ItemSpec& item : spec.items) widths.push_back(row_width(item.type));
    return widths;
}

std::vector<std::size_t> column_starts(const RecordSpec& spec, std::size_t rows) {
    std::vector<std::size_t> starts{0};
    for (std::size_t width : column_widths(spec)) {
        const std::size_t end = starts.back() + width * rows;
        starts.push_back((end + kColumnAlign - 1) / kColumnAlign * kColumnAlign);
    }
    return starts;
}

void rows_to_columns(const RecordSpec& spec, const std::uint8_t* rows, std::size_t count, std::uint8_t* out) {
    const auto widths = column_widths(spec);
    const auto starts = column_starts(spec, count);
    const std::size_t size = row_size(spec);
    for (std::size_t first = 0; first < count; first += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, count - first);
        std::size_t at = 0;  // the column's place in the row
        for (std::size_t c = 0; c < widths.size(); ++c) {
            copy_column(widths[c], rows + first * size + at, size, n, out + starts[c] + first * widths[c]);
            at += widths[c];
        }
    }
}

}  // namespace ahrs
