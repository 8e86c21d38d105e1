#pragma once
// What a live reader has seen, counted as it goes; readable at any moment
// from any thread, each counter on its own.
#include <array>
#include <atomic>
#include <cstdint>

namespace ahrs {

struct LiveCounters {
    using Counter = std::atomic<std::uint64_t>;
    std::array<Counter, 256> packets{};   // by descriptor-set byte
    std::array<Counter, 256> stamped{};   // by descriptor-set byte: packets with a GPS time
    std::array<Counter, 256> dropouts{};  // by descriptor-set byte, of its GPS clock
    Counter bytes{0};
    Counter skipped_bytes{0};
    Counter damaged_runs{0};
    Counter checksum_failures{0};
    Counter timeouts{0};
    Counter reconnects{0};
    Counter recorded_bytes{0};

    static void add(Counter& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
};

}  // namespace ahrs
