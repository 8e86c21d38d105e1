#pragma once
// A packet framed in place, where it lies in a read buffer: no copy. Only a
// whole, well-formed packet is framed this way; anything else (a packet cut
// by the end of the buffer, bad sync bytes, an unknown set, a wrong
// checksum) is left to MipPacket::read, which reports exactly what is wrong.
#include <cstdint>
#include <optional>
#include <span>

#include "descriptor.hpp"

namespace ahrs {

struct PacketView {
    Descriptor descriptor;
    std::span<const std::uint8_t> payload;
    std::size_t size;  // on the wire: sync, set, length, payload, checksum
};

std::optional<PacketView> whole_packet_at(std::span<const std::uint8_t> bytes);

}  // namespace ahrs
