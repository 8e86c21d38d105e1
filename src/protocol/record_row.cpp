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

std::size_t slot_of(ReadingKind kind, std::uint8_t variant) {
    return (kind == ReadingKind::Sensor ? 0 : kSensorVariants) + variant;
}

ReadingKind slot_kind(std::size_t slot) { return slot < kSensorVariants ? ReadingKind::Sensor : ReadingKind::Estimate; }

const RecordSpec& slot_spec(std::size_t slot) {
    return slot < kSensorVariants ? catalogue(ReadingKind::Sensor)[slot]
                                  : catalogue(ReadingKind::Estimate)[slot - kSensorVariants];
}

}  // namespace ahrs

#include "decode.hpp"

namespace ahrs {
namespace {

// Whether the body holds every item of the record, each flag 0 or 1: the
// rules of decode_record.
bool decodes(const RecordSpec& spec, std::span<const std::uint8_t> body) {
    std::size_t at = 1;
    for (const ItemSpec& item : spec.items) {
        const std::size_t width = wire_width(item.type);
        if (body.size() - at < width) return false;
        if (item.type == WireType::Flag && !read_valid_flag(body.subspan(at, 2))) return false;
        at += width;
    }
    return true;
}

// The record of a field body that decodes, and its slot.
const RecordSpec* decodable_record(ReadingKind kind, std::span<const std::uint8_t> body, std::size_t& slot) {
    if (body.empty()) return nullptr;
    std::uint8_t variant = 0;
    const RecordSpec* spec = find_record(kind, body[0], variant);
    if (!spec || !decodes(*spec, body)) return nullptr;
    slot = slot_of(kind, variant);
    return spec;
}

// One item from its big-endian wire bytes.
std::uint8_t* put_item(std::uint8_t* row, const std::uint8_t* wire, WireType type) {
    switch (type) {
        case WireType::F32: return put(row, be32(wire));
        case WireType::F64: return put(row, be64(wire));
        case WireType::U16: return put(row, be16(wire));
        case WireType::Flag: return put(row, static_cast<std::uint8_t>(be16(wire) == 1));
    }
    return row;
}

// False when memory is out.
bool append_field_row(std::span<RowBuffer, kRecordSlots> tables, ReadingKind kind,
                      std::span<const std::uint8_t> body, std::uint64_t index, std::uint64_t offset) {
    std::size_t slot = 0;
    const RecordSpec* spec = decodable_record(kind, body, slot);
    if (!spec) return true;
    std::uint8_t* row = tables[slot].grow(row_size(*spec));
    if (!row) return false;
    row = put(put(row, index), offset);
    const std::uint8_t* wire = body.data() + 1;
    for (const ItemSpec& item : spec->items) {
        row = put_item(row, wire, item.type);
        wire += wire_width(item.type);
    }
    return true;
}

}  // namespace

bool append_packet_rows(std::span<RowBuffer, kRecordSlots> tables, const MipPacket& packet, std::uint64_t index,
                        std::uint64_t offset) {
    const auto kind = reading_kind(packet.descriptor());
    if (!kind) return true;
    bool ok = true;
    for_each_field(packet.bytes(), [&](std::span<const std::uint8_t> body) {
        ok = ok && append_field_row(tables, *kind, body, index, offset);
    });
    return ok;
}

RecordMask records_in(const MipPacket& packet) {
    RecordMask found;
    const auto kind = reading_kind(packet.descriptor());
    if (!kind) return found;
    for_each_field(packet.bytes(), [&](std::span<const std::uint8_t> body) {
        std::size_t slot = 0;
        if (decodable_record(*kind, body, slot)) found.set(slot);
    });
    return found;
}

}  // namespace ahrs
