#pragma once
// A record as one packed row of a table: the packet's index among the
// well-formed packets, its byte offset (both unsigned 64-bit), then the
// record's items in catalogue order at their wire width (float32, float64,
// uint16) and validity flags as one byte, 1 for Valid. Native byte order, no
// padding, so a row can be handed to an array library as it stands.
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "reading.hpp"

namespace ahrs {

constexpr std::size_t kRowHeader = 16;

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

std::size_t row_width(WireType type);
std::size_t row_size(const RecordSpec& spec);
// False when memory is out (nothing is appended then).
bool append_row(RowBuffer& rows, std::uint64_t packet, std::uint64_t offset, const Reading& r);

}  // namespace ahrs

namespace ahrs {

// Records are numbered 0 to 26: the sensor records, then the estimate ones.
constexpr std::size_t kRecordSlots = kSensorVariants + kEstimateVariants;
// A set of records, by slot.
using RecordMask = std::bitset<kRecordSlots>;
const RecordSpec& slot_spec(std::size_t slot);
std::size_t slot_of(ReadingKind kind, std::uint8_t variant);
ReadingKind slot_kind(std::size_t slot);

}  // namespace ahrs

namespace ahrs {

class MipPacket;

// The packet's records appended straight from the wire bytes to their
// tables (by slot): the same fields, kept or dropped by the same rules, and
// the same values as append_readings then append_row give, without the
// Reading in between. False when memory is out.
bool append_packet_rows(std::span<RowBuffer, kRecordSlots> tables, const MipPacket& packet, std::uint64_t index,
                        std::uint64_t offset);
// The records the packet holds, by the same rules.
RecordMask records_in(const MipPacket& packet);

}  // namespace ahrs
