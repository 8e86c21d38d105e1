#include "packet_view.hpp"

#include "mip_packet.hpp"

namespace ahrs {

std::optional<PacketView> whole_packet_at(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 6 || bytes[0] != kSync1 || bytes[1] != kSync2) return std::nullopt;
    const std::size_t length = bytes[3];
    const std::size_t size = 6 + length;
    if (bytes.size() < size) return std::nullopt;
    const auto descriptor = descriptor_from_byte(bytes[2]);
    if (!descriptor) return std::nullopt;
    Checksum sum;
    sum.feed(bytes.subspan(2, 2 + length));
    if (sum.value() != (bytes[4 + length] << 8 | bytes[5 + length])) return std::nullopt;
    return PacketView{*descriptor, bytes.subspan(4, length), size};
}

}  // namespace ahrs
