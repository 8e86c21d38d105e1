#pragma once
// A record as one packed row of a table: the packet's index among the
// well-formed packets, its byte offset (both unsigned 64-bit), then the
// record's items in catalogue order at their wire width (float32, float64,
// uint16) and validity flags as one byte, 1 for Valid. Native byte order, no
// padding, so a row can be handed to an array library as it stands.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "reading.hpp"

namespace ahrs {

constexpr std::size_t kRowHeader = 16;

std::size_t row_width(WireType type);
std::size_t row_size(const RecordSpec& spec);
void append_row(std::vector<std::uint8_t>& rows, std::uint64_t packet, std::uint64_t offset, const Reading& r);

}  // namespace ahrs

namespace ahrs {

// Records are numbered 0 to 26: the sensor records, then the estimate ones.
constexpr std::size_t kRecordSlots = kSensorVariants + kEstimateVariants;
const RecordSpec& slot_spec(std::size_t slot);
ReadingKind slot_kind(std::size_t slot);

}  // namespace ahrs
