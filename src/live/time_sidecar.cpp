#include "time_sidecar.hpp"

namespace ahrs {

void put_signed_varint(std::int64_t value, std::vector<std::uint8_t>& out) {
    std::uint64_t z = (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
    while (z >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(z | 0x80));
        z >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(z));
}

void TimeSidecarEncoder::entry(std::uint64_t end_offset, std::uint64_t monotonic_ns, std::uint64_t realtime_ns,
                               std::vector<std::uint8_t>& out) {
    const std::array<std::int64_t, 3> now{static_cast<std::int64_t>(end_offset),
                                          static_cast<std::int64_t>(monotonic_ns),
                                          static_cast<std::int64_t>(realtime_ns - monotonic_ns)};
    // Differences wrap as unsigned do, so no value can overflow them.
    for (std::size_t i = 0; i < now.size(); ++i)
        put_signed_varint(
            static_cast<std::int64_t>(static_cast<std::uint64_t>(now[i]) - static_cast<std::uint64_t>(last_[i])), out);
    last_ = now;
}

}  // namespace ahrs
