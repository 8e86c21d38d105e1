#pragma once
// The packet frame: sync bytes 75 65, descriptor set, payload length,
// payload, and a two-byte checksum over everything from the set on. One
// routine, frame(), judges it, wherever the bytes are: MipPacket::read
// judges the fields it has taken from a stream after each one, and the
// readers that buffer their input frame a packet where it lies, with no copy.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The sums a checksum needs of a run of n bytes: sum(x[i]) and
// sum((n - i) * x[i]). Only their low bytes matter, and 32-bit wrap-around
// keeps them.
struct ByteSums {
    std::uint32_t sum = 0;
    std::uint32_t weighted = 0;
};

inline ByteSums byte_sums_portable(const std::uint8_t* x, std::size_t n) {
    ByteSums s;
    for (std::size_t i = 0; i < n; ++i) {
        s.sum += x[i];
        s.weighted += static_cast<std::uint32_t>(n - i) * x[i];
    }
    return s;
}

#if defined(__SSE2__)
// Sixteen bytes at a time: their sum in one instruction, their weights
// within the block (16 down to 1) in two multiply-adds; each block also
// weighs every block after it by 16, which the sum of the running sums
// gives at the end. The last bytes go one by one.
inline ByteSums byte_sums_sse2(const std::uint8_t* x, std::size_t n) {
    const std::size_t blocks = n / 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i first_weights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i last_weights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i sums = zero, running = zero, within = zero;
    for (std::size_t k = 0; k < blocks; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 16 * k));
        running = _mm_add_epi32(running, sums);  // the sum of every block before this one, once per block
        sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
        within = _mm_add_epi32(within, _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(v, zero), first_weights),
                                                     _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), last_weights)));
    }
    const auto lanes = [](__m128i v) {
        alignas(16) std::uint32_t l[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(l), v);
        return l[0] + l[1] + l[2] + l[3];
    };
    // Block k's bytes weigh 16 * (blocks - 1 - k) + tail more than within
    // it: the running sums add up to sum(B_k * (blocks - 1 - k)).
    const std::size_t tail = n - 16 * blocks;
    ByteSums s;
    s.sum = lanes(sums);
    s.weighted = lanes(within) + 16 * lanes(running) + static_cast<std::uint32_t>(tail) * s.sum;
    const ByteSums rest = byte_sums_portable(x + 16 * blocks, tail);
    s.sum += rest.sum;
    s.weighted += rest.weighted;
    return s;
}
#endif

inline ByteSums byte_sums(const std::uint8_t* x, std::size_t n) {
#if defined(__SSE2__)
    return byte_sums_sse2(x, n);
#else
    return byte_sums_portable(x, n);
#endif
}

// The running two-byte sum of a packet, started as if the two sync bytes had
// already been fed.
class Checksum {
public:
    void feed(std::uint8_t b) {
        a_ = static_cast<std::uint8_t>(a_ + b);
        b_ = static_cast<std::uint8_t>(b_ + a_);
    }
    // The same sums in closed form, a + S and b + n*a + sum((n - i) * x[i]).
    void feed(std::span<const std::uint8_t> bytes) {
        const ByteSums s = byte_sums(bytes.data(), bytes.size());
        b_ = static_cast<std::uint8_t>(b_ + bytes.size() * a_ + s.weighted);
        a_ = static_cast<std::uint8_t>(a_ + s.sum);
    }
    std::uint16_t value() const { return static_cast<std::uint16_t>(a_ << 8 | b_); }
    std::uint8_t first() const { return a_; }
    std::uint8_t second() const { return b_; }

private:
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
