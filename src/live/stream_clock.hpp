#pragma once
// The clock models of a live stream: one for each data set that carries its
// own time, so that two sets stamped by different clocks never disturb each
// other's fit. A packet without a usable time (none, a frozen one, or one
// its model cannot map yet) takes the instant of the packet mapped just
// before it, when that one arrived close by: packets that travel together
// were taken together. The reader thread maps; any thread reads the reports.
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

#include "clock_model.hpp"

namespace ahrs {

class StreamClock {
public:
    static constexpr std::size_t kClocks = 2;  // sensor, filter
    static constexpr std::int64_t kNeighbourNs = 50'000'000;

    // `clock` is the set's model, none for a set without a clock of its own.
    std::optional<std::int64_t> map(std::optional<std::size_t> clock, double device_time, std::int64_t arrival_ns);
    // The device was opened again.
    void restart();
    std::array<ClockReport, kClocks> reports() const;

private:
    void publish(std::size_t clock);

    std::array<ClockModel, kClocks> models_;
    std::optional<std::int64_t> last_time_;
    std::int64_t last_arrival_ = 0;
    mutable std::mutex mu_;  // published_
    std::array<ClockReport, kClocks> published_{};
};

}  // namespace ahrs
