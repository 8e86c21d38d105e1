#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "byte_stream.hpp"
#include "packet_view.hpp"
#include "errors.hpp"

namespace ahrs {

// One packet as held in memory: its descriptor set and its payload. The
// payload lives inline, so a packet is a plain value with no allocation.
class MipPacket {
public:
    MipPacket(Descriptor d, std::span<const std::uint8_t> payload);

    Descriptor descriptor() const { return descriptor_; }
    std::span<const std::uint8_t> bytes() const { return {bytes_.data(), size_}; }

    // Reads one packet, taking each field from the source only when it is
    // reached and judging the frame after each. On failure the source is
    // asked to move back to the packet start.
    static Result<MipPacket, PacketError> read(ByteSource& src);
    // Writes one packet in five writes: sync, descriptor set, length, payload,
    // checksum. The payload must not exceed 255 bytes.
    static Status<IoError> write(ByteSink& sink, Descriptor d, std::span<const std::uint8_t> payload);

private:
    MipPacket() = default;
    Descriptor descriptor_ = Descriptor::CommandBase;
    std::uint8_t size_ = 0;
    std::array<std::uint8_t, 255> bytes_{};
};

}  // namespace ahrs
