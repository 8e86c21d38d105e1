#pragma once
// A packet decoded into flat arrays with the shortest digits of all its
// floats found before any text is laid out. The driver's line, JSON Lines
// and CSV rows all start from it and differ only in their layout.
#include <array>
#include <cstdint>
#include <span>

#include "descriptor.hpp"
#include "flat_decode.hpp"
#include "record_row.hpp"
#include "shortest.hpp"

namespace ahrs {

struct PacketDigits {
    FlatPacket flat;
    std::array<Shortest, 128> values;  // by item index; floats only
    double time;                       // packet_time() of the whole packet
};

// Decodes the payload; only the records in `keep` stay, and only their
// floats are converted. The time is the packet's whether its time record is
// kept or not.
void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, const RecordMask& keep,
                        PacketDigits& out);
void decode_with_digits(Descriptor set, std::span<const std::uint8_t> payload, PacketDigits& out);

}  // namespace ahrs
