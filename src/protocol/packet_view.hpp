#pragma once
// The packet frame: sync bytes 75 65, descriptor set, payload length,
// payload, and a two-byte checksum over everything from the set on. One
// routine, frame(), judges it, wherever the bytes are: MipPacket::read
// judges the fields it has taken from a stream after each one, and the
// readers that buffer their input frame a packet where it lies, with no copy.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ahrs {

// The descriptor sets a packet may carry. Any other byte makes a packet
// unreadable.
enum class Descriptor : std::uint8_t {
    CommandBase = 0x01,
    Command3DM = 0x0C,
    CommandNav = 0x0D,
    CommandGNSS = 0x0E,
    CommandRTK = 0x0F,
    CommandSys = 0x7F,
    DataSensor = 0x80,
    DataGNSS = 0x81,
    DataEstimationFilter = 0x82,
    DataDisplacement = 0x90,
    DataGNSS1 = 0x91,
    DataGNSS2 = 0x92,
    DataGNSS3 = 0x93,
    DataGNSS4 = 0x94,
    DataGNSS5 = 0x95,
    DataSystem = 0xA0,
};

std::optional<Descriptor> descriptor_from_byte(std::uint8_t byte);
std::string_view descriptor_name(Descriptor d);

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

// What the bytes at the front of a span make of a packet. They are judged
// in wire order, each part once the bytes it needs are there: the two sync
// bytes together, then the descriptor set, and once the length says the
// packet is all there, the checksum. Bytes past the packet are not looked at.
struct Framing {
    enum class Verdict : std::uint8_t { Whole, Short, BadMagic, UnknownSet, BadChecksum };
    Verdict verdict;
    // Whole: the packet's size on the wire. Short: the bytes the next
    // verdict needs (2, 3, 4, then the whole packet).
    std::uint16_t size;
    Descriptor descriptor = Descriptor::CommandBase;  // Whole
    std::uint16_t sent = 0, computed = 0;             // BadChecksum
};

inline Framing frame(std::span<const std::uint8_t> bytes) {
    using V = Framing::Verdict;
    if (bytes.size() < 2) return {V::Short, 2};
    if (bytes[0] != kSync1 || bytes[1] != kSync2) return {V::BadMagic, 2};
    if (bytes.size() < 3) return {V::Short, 3};
    const auto descriptor = descriptor_from_byte(bytes[2]);
    if (!descriptor) return {V::UnknownSet, 3};
    if (bytes.size() < 4) return {V::Short, 4};
    const std::size_t length = bytes[3];
    const auto size = static_cast<std::uint16_t>(6 + length);
    if (bytes.size() < size) return {V::Short, size};
    Checksum sum;
    sum.feed(bytes.subspan(2, 2 + length));
    const auto sent = static_cast<std::uint16_t>(bytes[4 + length] << 8 | bytes[5 + length]);
    if (sent != sum.value()) return {V::BadChecksum, size, *descriptor, sent, sum.value()};
    return {V::Whole, size, *descriptor};
}

// A whole, sound packet where it lies in a buffer.
struct PacketView {
    Descriptor descriptor;
    std::span<const std::uint8_t> payload;
    std::size_t size;  // on the wire: sync, set, length, payload, checksum
};

// Anything but a whole, sound packet (one cut by the end of the bytes, bad
// sync bytes, an unknown set, a wrong checksum) is left to MipPacket::read,
// which fetches what is missing and reports exactly what is wrong.
inline std::optional<PacketView> whole_packet_at(std::span<const std::uint8_t> bytes) {
    const Framing f = frame(bytes);
    if (f.verdict != Framing::Verdict::Whole) return std::nullopt;
    return PacketView{f.descriptor, bytes.subspan(4, f.size - 6u), f.size};
}

}  // namespace ahrs
