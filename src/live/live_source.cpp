#include "live_source.hpp"

#include <time.h>

namespace ahrs {

std::uint64_t clock_ns(int clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

Result<std::size_t, IoError> LiveSource::read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) {
    const Deadline quiet = quiet_from_ + kSerialTimeout;
    const bool cut_first = cut_at_ < quiet;
    auto n = device_->read_some(dst, interrupts, cut_first ? cut_at_ : quiet);
    if (!n) {
        if (n.error().kind() == IoKind::TimedOut) {
            if (cut_first) cut_ = true;
            else quiet_from_ = std::chrono::steady_clock::now();
        }
        return n;
    }
    quiet_from_ = std::chrono::steady_clock::now();
    host_ns_ = clock_ns(CLOCK_MONOTONIC);
    wall_ns_ = clock_ns(CLOCK_REALTIME);
    LiveCounters::add(counters_.bytes, *n);
    if (recorder_) LiveCounters::add(counters_.recorded_bytes, recorder_->write(dst.first(*n), host_ns_, wall_ns_));
    return n;
}

}  // namespace ahrs
