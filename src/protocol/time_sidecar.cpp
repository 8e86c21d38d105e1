#include "time_sidecar.hpp"

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

std::string damaged_at(std::size_t at, const char* why) {
    return "damaged host-time sidecar at byte " + std::to_string(at) + ": " + why;
}

const std::uint8_t* magic() { return reinterpret_cast<const std::uint8_t*>(kTimeSidecarMagic.data()); }

}  // namespace

void put_signed_varint(std::int64_t value, std::vector<std::uint8_t>& out) {
    std::uint64_t z = (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
    for (; z >= 0x80; z >>= 7) out.push_back(static_cast<std::uint8_t>(z | 0x80));
    out.push_back(static_cast<std::uint8_t>(z));
}

void TimeSidecarEncoder::entry(const ReadTime& read, std::vector<std::uint8_t>& out) {
    const std::array<std::uint64_t, 3> now{read.end, static_cast<std::uint64_t>(read.monotonic_ns),
                                           static_cast<std::uint64_t>(read.wall_minus_monotonic_ns)};
    // Differences wrap as unsigned do, so no value can overflow them.
    for (std::size_t i = 0; i < now.size(); ++i) put_signed_varint(static_cast<std::int64_t>(now[i] - last_[i]), out);
    last_ = now;
}

void TimeSidecarEncoder::entry(std::uint64_t end_offset, std::uint64_t monotonic_ns, std::uint64_t realtime_ns,
                               std::vector<std::uint8_t>& out) {
    entry(ReadTime{end_offset, static_cast<std::int64_t>(monotonic_ns),
                   static_cast<std::int64_t>(realtime_ns - monotonic_ns)},
          out);
}

Result<std::vector<ReadTime>, std::string> decode_read_times(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kTimeSidecarMagic.size() ||
        !std::equal(magic(), magic() + kTimeSidecarMagic.size(), bytes.begin()))
        return err(std::string("not a host-time sidecar (no AHRSTIM1 magic)"));
    std::vector<ReadTime> out;
    // Sums kept modulo 2**64, as a writer's deltas of any two int64 values wrap.
    std::uint64_t end = 0, mono = 0, wall = 0;
    std::size_t at = kTimeSidecarMagic.size();
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
        out.assign(magic(), magic() + kTimeSidecarMagic.size());
        TimeSidecarEncoder encoder;
        for (const ReadTime& r : reads) {
            if (r.end <= start) continue;
            encoder.entry({std::min(r.end, end) - start, r.monotonic_ns, r.wall_minus_monotonic_ns}, out);
            if (r.end >= end) break;  // the read that brought the last byte kept
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace ahrs
