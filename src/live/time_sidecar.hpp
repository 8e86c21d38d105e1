#pragma once
// The host-time sidecar of a live recording (PATH.times beside PATH): the
// magic "AHRSTIM1", then one entry per read that appended bytes, each three
// zigzag LEB128 varints, every one the change from the previous entry (the
// first from zeros): the recording's length after the read, CLOCK_MONOTONIC
// when the read returned, and CLOCK_REALTIME minus CLOCK_MONOTONIC then.
// Deltas keep an entry at a few bytes; the last field is almost always 0.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ahrs {

inline constexpr std::string_view kTimeSidecarMagic = "AHRSTIM1";

class TimeSidecarEncoder {
public:
    // Appends the entry for a read to `out`.
    void entry(std::uint64_t end_offset, std::uint64_t monotonic_ns, std::uint64_t realtime_ns,
               std::vector<std::uint8_t>& out);

private:
    std::array<std::int64_t, 3> last_{};
};

// Zigzag, then LEB128: small changes of either sign take one byte.
void put_signed_varint(std::int64_t value, std::vector<std::uint8_t>& out);

}  // namespace ahrs
