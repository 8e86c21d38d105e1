#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "byte_stream.hpp"
#include "descriptor.hpp"
#include "packet_error.hpp"

namespace ahrs {

constexpr std::uint8_t kSync1 = 0x75;
constexpr std::uint8_t kSync2 = 0x65;
constexpr std::size_t kMaxPacketSize = 6 + 255;

// The running two-byte sum of a packet, started as if the two sync bytes had
// already been fed.
class Checksum {
public:
    void feed(std::uint8_t b) {
        a_ = static_cast<std::uint8_t>(a_ + b);
        b_ = static_cast<std::uint8_t>(b_ + a_);
    }
    // The same sums in closed form, a + S and b + n*a + sum((n - i) * x[i]),
    // in 16-bit lanes the compiler vectorises. Only the low byte matters,
    // and 16-bit wrap-around keeps it; blocks keep the index within 16 bits.
    void feed(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const std::size_t block = bytes.size() < 4096 ? bytes.size() : 4096;
            feed_block(bytes.data(), static_cast<std::uint16_t>(block));
            bytes = bytes.subspan(block);
        }
    }
    std::uint16_t value() const { return static_cast<std::uint16_t>(a_ << 8 | b_); }
    std::uint8_t first() const { return a_; }
    std::uint8_t second() const { return b_; }

private:
    void feed_block(const std::uint8_t* x, std::uint16_t n) {
        std::uint16_t sum = 0, weighted = 0;
        for (std::uint16_t i = 0; i < n; ++i) {
            sum = static_cast<std::uint16_t>(sum + x[i]);
            weighted = static_cast<std::uint16_t>(weighted + static_cast<std::uint16_t>(n - i) * x[i]);
        }
        b_ = static_cast<std::uint8_t>(b_ + n * a_ + weighted);
        a_ = static_cast<std::uint8_t>(a_ + sum);
    }

    std::uint8_t a_ = 0xDA;
    std::uint8_t b_ = 0x4F;
};

// One packet as held in memory: its descriptor set and its payload. The
// payload lives inline, so a packet is a plain value with no allocation.
class MipPacket {
public:
    MipPacket(Descriptor d, std::span<const std::uint8_t> payload);

    Descriptor descriptor() const { return descriptor_; }
    std::span<const std::uint8_t> bytes() const { return {bytes_.data(), size_}; }

    // Reads one packet, taking each field from the source only when it is
    // reached. On failure the source is asked to move back to the packet start.
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
