#include "record_row.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace ahrs {

namespace {

template <class T>
std::uint8_t* put(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
}

// An item at its row width from its raw wire value.
std::uint8_t* put_item(std::uint8_t* row, const FlatItem& item) {
    switch (item.type) {
        case WireType::F32: return put(row, static_cast<std::uint32_t>(item.raw));
        case WireType::F64: return put(row, item.raw);
        case WireType::U16: return put(row, static_cast<std::uint16_t>(item.raw));
        case WireType::Flag: return put(row, static_cast<std::uint8_t>(item.raw));
    }
    return row;
}

// Bytes of each record's row, by slot: it is looked up for every record.
const std::array<std::uint8_t, kRecordSlots>& row_sizes() {
    static const auto table = [] {
        std::array<std::uint8_t, kRecordSlots> t{};
        for (std::size_t s = 0; s < kRecordSlots; ++s) t[s] = static_cast<std::uint8_t>(row_size(slot_spec(s)));
        return t;
    }();
    return table;
}

}  // namespace

void RowBuffer::Free::operator()(std::uint8_t* p) const { std::free(p); }

std::uint8_t* RowBuffer::grow(std::size_t n) {
    if (capacity_ - size_ < n) {
        const std::size_t capacity = std::max(capacity_ * 2, std::max<std::size_t>(size_ + n, 4096));
        void* p = std::realloc(data_.get(), capacity);
        if (!p) return nullptr;
        (void)data_.release();
        data_.reset(static_cast<std::uint8_t*>(p));
        capacity_ = capacity;
    }
    std::uint8_t* at = data_.get() + size_;
    size_ += n;
    return at;
}

void RowBuffer::clear() {
    data_.reset();
    size_ = capacity_ = 0;
}

std::size_t row_size(const RecordSpec& spec) {
    std::size_t size = kRowHeader;
    for (const ItemSpec& item : spec.items) size += row_width(item.type);
    return size;
}

bool append_packet_rows(std::span<RowBuffer, kRecordSlots> tables, const FlatPacket& flat, std::uint64_t index,
                        std::uint64_t offset) {
    if (flat.record_count == 0) return true;
    const double time = packet_time(flat);
    const auto& sizes = row_sizes();
    for (std::size_t r = 0; r < flat.record_count; ++r) {
        const FlatRecord& rec = flat.records[r];
        std::uint8_t* row = tables[rec.slot].grow(sizes[rec.slot]);
        if (!row) return false;
        row = put(put(put(row, index), offset), time);
        for (std::size_t i = 0; i < rec.count; ++i) row = put_item(row, flat.items[rec.first + i]);
    }
    return true;
}

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
