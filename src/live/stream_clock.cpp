#include "stream_clock.hpp"

#include <algorithm>

namespace ahrs {

std::optional<std::int64_t> StreamClock::map(std::optional<std::size_t> clock, double device_time,
                                             std::int64_t arrival_ns) {
    if (clock) {
        auto time = models_[*clock].map(device_time, arrival_ns);
        if (models_[*clock].take_changed()) publish(*clock);
        if (time) {
            last_time_ = time;
            last_arrival_ = arrival_ns;
            return time;
        }
    }
    if (last_time_ && arrival_ns - last_arrival_ <= kNeighbourNs) return last_time_;
    return std::nullopt;
}

void StreamClock::restart() {
    last_time_.reset();
    for (std::size_t i = 0; i < kClocks; ++i) {
        models_[i].restart();
        if (models_[i].take_changed()) publish(i);
    }
}

void StreamClock::publish(std::size_t clock) {
    std::lock_guard lock(mu_);
    published_[clock] = models_[clock].report();
}

std::array<ClockReport, StreamClock::kClocks> StreamClock::reports() const {
    std::lock_guard lock(mu_);
    return published_;
}

double DropoutWatch::median() const {
    std::array<double, kWindow> sorted = steps_;
    const auto mid = sorted.begin() + static_cast<std::ptrdiff_t>(count_ / 2);
    std::nth_element(sorted.begin(), mid, sorted.begin() + static_cast<std::ptrdiff_t>(count_));
    return *mid;
}

// Steps back in time (a clock set back) and repeated stamps are no periods.
bool DropoutWatch::next(double t) {
    const double step = t - last_;
    if (!std::isnan(t)) last_ = t;
    if (!(step > 0)) return false;
    const bool gap = count_ >= kMinSteps && step > kFactor * median();
    steps_[next_] = step;
    next_ = (next_ + 1) % kWindow;
    if (count_ < kWindow) ++count_;
    return gap;
}

}  // namespace ahrs
