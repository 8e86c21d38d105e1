#pragma once
// The host-time sidecar of a recording (PATH.times beside PATH), written by
// the live reader's recorder and read back with the recording: the magic
// "AHRSTIM1", then one entry per read that appended bytes to the recording,
// each three zigzag LEB128 varints, every one the change from the previous
// entry (the first from zeros): the recording's length after the read,
// CLOCK_MONOTONIC when the read returned, and CLOCK_REALTIME minus
// CLOCK_MONOTONIC then. Deltas keep an entry at a few bytes; the last field
// is almost always 0. Differences wrap modulo 2**64, as do the reader's sums.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace ahrs {

inline constexpr std::string_view kTimeSidecarMagic = "AHRSTIM1";

struct ReadTime {
    std::uint64_t end;                     // byte offset in the recording after this read
    std::int64_t monotonic_ns;             // CLOCK_MONOTONIC when the read returned
    std::int64_t wall_minus_monotonic_ns;  // CLOCK_REALTIME minus CLOCK_MONOTONIC then
};

class TimeSidecarEncoder {
public:
    // Appends the entry for a read to `out`.
    void entry(const ReadTime& read, std::vector<std::uint8_t>& out);
    void entry(std::uint64_t end_offset, std::uint64_t monotonic_ns, std::uint64_t realtime_ns,
               std::vector<std::uint8_t>& out);

private:
    std::array<std::uint64_t, 3> last_{};
};

// Zigzag, then LEB128: small changes of either sign take one byte.
void put_signed_varint(std::int64_t value, std::vector<std::uint8_t>& out);

// Every entry, in order. A last entry cut short (the writer died mid-entry)
// is left out. An error (one line of text) when the bytes are not a sidecar:
// a wrong magic, a number longer than 64 bits, or ends that go backwards.
Result<std::vector<ReadTime>, std::string> decode_read_times(std::span<const std::uint8_t> bytes);

// The sidecar of the bytes [start, end) of the recording, cut out to stand
// alone: ends move back by `start`; reads that brought only bytes before
// `start` go, and ends past `end` stop there. False when memory is out.
bool cut_read_times(std::span<const ReadTime> reads, std::uint64_t start, std::uint64_t end,
                    std::vector<std::uint8_t>& out);

}  // namespace ahrs
