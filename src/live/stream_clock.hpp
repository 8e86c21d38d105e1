#pragma once
// The clock models of a live stream: one for each data set that carries its
// own time, so that two sets stamped by different clocks never disturb each
// other's fit. A packet without a usable time (none, a frozen one, or one
// its model cannot map yet) takes the instant of the packet mapped just
// before it, when that one arrived close by: packets that travel together
// were taken together. The reader thread maps; any thread reads the reports.
#include <array>
#include <cmath>
#include <cstddef>
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

// Dropouts of one GPS clock as they happen: a step forward longer than 1.5
// median periods, the median taken over the recent forward steps (a whole
// recording's median is not known while it is being received).
class DropoutWatch {
public:
    // Takes the next stamp in seconds; true when the step to it is a dropout.
    bool next(double t);

    static constexpr double kFactor = 1.5;
    static constexpr std::size_t kWindow = 63;  // recent forward steps
    static constexpr std::size_t kMinSteps = 4;  // before any median is trusted

private:
    double median() const;

    std::array<double, kWindow> steps_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    double last_ = NAN;
};

}  // namespace ahrs
