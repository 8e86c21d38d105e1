#pragma once
// The host-time sidecar beside a recording (PATH.times), read back: one
// entry per read that appended bytes to the recording, saying where in the
// recording that read ended and when, on the host's monotonic and wall
// clocks, it returned. Written by the live reader's recorder as an 8-byte
// magic and then three zigzag LEB128 deltas per entry, each from the entry
// before; the first entry's from zero.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../protocol/result.hpp"

namespace ahrs {

inline constexpr char kTimesMagic[8] = {'A', 'H', 'R', 'S', 'T', 'I', 'M', '1'};

struct ReadTime {
    std::uint64_t end;                // byte offset in the recording after this read
    std::int64_t monotonic_ns;        // CLOCK_MONOTONIC when the read returned
    std::int64_t wall_minus_monotonic_ns;  // CLOCK_REALTIME minus CLOCK_MONOTONIC then
};

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
