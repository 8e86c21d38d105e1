#include "times_sidecar.hpp"

#include <algorithm>
#include <new>

namespace ahrs {
namespace {

enum class Varint { Done, Cut, TooLong };

// One zigzag LEB128 number from `at`, which moves past it.
Varint read_varint(std::span<const std::uint8_t> bytes, std::size_t& at, std::int64_t& out) {
    std::uint64_t raw = 0;
    for (unsigned shift = 0; at < bytes.size(); shift += 7) {
        const std::uint8_t b = bytes[at++];
        if (shift == 63 && (b & 0x7e)) return Varint::TooLong;
        raw |= static_cast<std::uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) {
            out = static_cast<std::int64_t>(raw >> 1) ^ -static_cast<std::int64_t>(raw & 1);
            return Varint::Done;
        }
        if (shift == 63) return Varint::TooLong;
    }
    return Varint::Cut;
}

// now - before, wrapping modulo 2**64 as the reader's sums do.
template <class T>
std::int64_t delta(T now, T before) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(before));
}

void write_varint(std::int64_t value, std::vector<std::uint8_t>& out) {
    auto raw = (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
    for (; raw >= 0x80; raw >>= 7) out.push_back(static_cast<std::uint8_t>(raw | 0x80));
    out.push_back(static_cast<std::uint8_t>(raw));
}

std::string damaged_at(std::size_t at, const char* why) {
    return "damaged host-time sidecar at byte " + std::to_string(at) + ": " + why;
}

}  // namespace

Result<std::vector<ReadTime>, std::string> decode_read_times(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof kTimesMagic || !std::equal(bytes.begin(), bytes.begin() + sizeof kTimesMagic,
                                                         reinterpret_cast<const std::uint8_t*>(kTimesMagic)))
        return err(std::string("not a host-time sidecar (no AHRSTIM1 magic)"));
    std::vector<ReadTime> out;
    // Sums kept modulo 2**64, as a writer's deltas of any two int64 values wrap.
    std::uint64_t end = 0, mono = 0, wall = 0;
    std::size_t at = sizeof kTimesMagic;
    while (at < bytes.size()) {
        const std::size_t start = at;
        std::int64_t d[3];
        for (auto& v : d) {
            const Varint got = read_varint(bytes, at, v);
            if (got == Varint::Cut) return out;  // a torn last entry
            if (got == Varint::TooLong) return err(damaged_at(start, "a number longer than 64 bits"));
        }
        if (d[0] < 0) return err(damaged_at(start, "the recording's offset goes backwards"));
        end += static_cast<std::uint64_t>(d[0]);
        mono += static_cast<std::uint64_t>(d[1]);
        wall += static_cast<std::uint64_t>(d[2]);
        out.push_back({end, static_cast<std::int64_t>(mono), static_cast<std::int64_t>(wall)});
    }
    return out;
}

bool cut_read_times(std::span<const ReadTime> reads, std::uint64_t start, std::uint64_t end,
                    std::vector<std::uint8_t>& out) {
    try {
        out.assign(std::begin(kTimesMagic), std::end(kTimesMagic));
        ReadTime before{0, 0, 0};
        for (const ReadTime& r : reads) {
            if (r.end <= start) continue;
            const ReadTime now{std::min(r.end, end) - start, r.monotonic_ns, r.wall_minus_monotonic_ns};
            write_varint(delta(now.end, before.end), out);
            write_varint(delta(now.monotonic_ns, before.monotonic_ns), out);
            write_varint(delta(now.wall_minus_monotonic_ns, before.wall_minus_monotonic_ns), out);
            before = now;
            if (r.end >= end) break;  // the read that brought the last byte kept
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace ahrs
