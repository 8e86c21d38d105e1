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

}  // namespace ahrs
