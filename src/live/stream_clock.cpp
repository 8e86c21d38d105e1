#include "stream_clock.hpp"

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

}  // namespace ahrs
