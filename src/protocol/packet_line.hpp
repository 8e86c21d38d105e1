#pragma once
// The line printed for one packet: its readings' text forms between square
// brackets, separated by ", ", then "\n". The same text as
// append_readings_text over the decoded readings, built for speed: the
// packet is decoded into flat arrays, all of its floats are converted to
// their shortest digits, then the line is laid out into one reused buffer.
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "descriptor.hpp"
#include "flat_decode.hpp"
#include "shortest.hpp"

namespace ahrs {

class PacketLine {
public:
    PacketLine();
    // Valid until the next call.
    std::string_view build(Descriptor set, std::span<const std::uint8_t> payload);

private:
    FlatPacket flat_;
    std::array<Shortest, 128> values_;  // by item index; floats only
    std::unique_ptr<char[]> text_;
};

}  // namespace ahrs
