#pragma once
// The line printed for one packet: its readings' text forms (record_text.hpp)
// between square brackets, separated by ", ", then "\n". Built for speed:
// the packet is decoded into flat arrays, all of its floats are converted to
// their shortest digits, then the line is laid out into one reused buffer.
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "descriptor.hpp"
#include "packet_digits.hpp"

namespace ahrs {

class PacketLine {
public:
    PacketLine();
    // Valid until the next call.
    std::string_view build(Descriptor set, std::span<const std::uint8_t> payload);

private:
    PacketDigits digits_;
    std::unique_ptr<char[]> text_;
};

// The line of a decoded packet laid out at `out`; returns its end. Needs
// at most kRecordRoom bytes per record, and 8 more, at `out`.
char* write_packet_line(char* out, const PacketDigits& packet);

}  // namespace ahrs
