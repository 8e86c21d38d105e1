#include "record_row.hpp"

#include <cstdlib>
#include <algorithm>
#include <cstring>

namespace ahrs {
namespace {

template <class T>
std::uint8_t* put(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
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

std::size_t row_width(WireType type) {
    switch (type) {
        case WireType::F32: return 4;
        case WireType::F64: return 8;
        case WireType::U16: return 2;
        case WireType::Flag: return 1;
    }
    return 0;
}

std::size_t row_size(const RecordSpec& spec) {
    std::size_t size = kRowHeader;
    for (const ItemSpec& item : spec.items) size += row_width(item.type);
    return size;
}

bool append_row(RowBuffer& rows, std::uint64_t packet, std::uint64_t offset, const Reading& r) {
    const RecordSpec& spec = r.spec();
    std::uint8_t* room = rows.grow(row_size(spec));
    if (!room) return false;
    std::uint8_t* p = put(put(room, packet), offset);
    for (std::size_t i = 0; i < spec.items.size(); ++i) {
        const double v = r.item(i);
        switch (spec.items[i].type) {
            case WireType::F32: p = put(p, static_cast<float>(v)); break;
            case WireType::F64: p = put(p, v); break;
            case WireType::U16: p = put(p, static_cast<std::uint16_t>(v)); break;
            case WireType::Flag: p = put(p, static_cast<std::uint8_t>(v != 0)); break;
        }
    }
    return true;
}

}  // namespace ahrs

namespace ahrs {

ReadingKind slot_kind(std::size_t slot) { return slot < kSensorVariants ? ReadingKind::Sensor : ReadingKind::Estimate; }

const RecordSpec& slot_spec(std::size_t slot) {
    return slot < kSensorVariants ? catalogue(ReadingKind::Sensor)[slot]
                                  : catalogue(ReadingKind::Estimate)[slot - kSensorVariants];
}

}  // namespace ahrs
