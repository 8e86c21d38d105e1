#include "record_row.hpp"

#include <cstring>

namespace ahrs {
namespace {

template <class T>
std::uint8_t* put(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
}

}  // namespace

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

void append_row(std::vector<std::uint8_t>& rows, std::uint64_t packet, std::uint64_t offset, const Reading& r) {
    const RecordSpec& spec = r.spec();
    const std::size_t at = rows.size();
    rows.resize(at + row_size(spec));
    std::uint8_t* p = put(put(rows.data() + at, packet), offset);
    for (std::size_t i = 0; i < spec.items.size(); ++i) {
        const double v = r.item(i);
        switch (spec.items[i].type) {
            case WireType::F32: p = put(p, static_cast<float>(v)); break;
            case WireType::F64: p = put(p, v); break;
            case WireType::U16: p = put(p, static_cast<std::uint16_t>(v)); break;
            case WireType::Flag: p = put(p, static_cast<std::uint8_t>(v != 0)); break;
        }
    }
}

}  // namespace ahrs

namespace ahrs {

ReadingKind slot_kind(std::size_t slot) { return slot < kSensorVariants ? ReadingKind::Sensor : ReadingKind::Estimate; }

const RecordSpec& slot_spec(std::size_t slot) {
    return slot < kSensorVariants ? catalogue(ReadingKind::Sensor)[slot]
                                  : catalogue(ReadingKind::Estimate)[slot - kSensorVariants];
}

}  // namespace ahrs
