#pragma once
// A packet's readings as flat arrays, for the text path: no Reading values,
// no allocation, each item kept as its raw wire value. Decodes exactly what
// append_readings decodes, in the same order.
#include <array>
#include <cstdint>
#include <span>

#include "descriptor.hpp"
#include "reading.hpp"

namespace ahrs {

struct FlatRecord {
    std::uint8_t slot;   // Reading::slot()
    std::uint8_t first;  // index of its first item
    std::uint8_t count;
};

struct FlatItem {
    std::uint64_t raw;  // float32 or float64 bits, 16-bit integer, flag 0 or 1
    WireType type;
};

// Every decoded record takes at least four payload bytes and every item at
// least two, so a 255-byte payload fits.
struct FlatPacket {
    std::array<FlatRecord, 64> records;
    std::array<FlatItem, 128> items;
    std::size_t record_count = 0;
    std::size_t item_count = 0;
};

void decode_flat(Descriptor set, std::span<const std::uint8_t> payload, FlatPacket& out);

}  // namespace ahrs
