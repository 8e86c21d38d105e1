#include "clock_model.hpp"

#include <cmath>

#include "../protocol/reading.hpp"

namespace ahrs {
namespace {

constexpr double kNsPerSecond = 1e9;

// Twice the signed area of a, b, c: positive when they turn left.
template <class P>
double turn(const P& a, const P& b, const P& c) {
    return (b.x - a.x) * (c.o - a.o) - (b.o - a.o) * (c.x - a.x);
}

}  // namespace

ClockModel::ClockModel() : ring_(kMaxPoints) { hull_.reserve(kMaxPoints); }

bool ClockModel::take_changed() {
    const bool changed = changed_;
    changed_ = false;
    return changed;
}

void ClockModel::restart() {
    if (!anchored_) return;
    anchored_ = false;
    ++report_.resets;
    line_.reset();
    count_ = 0;
    report_.fitted = false;
    report_.window = 0;
    changed_ = true;
}

void ClockModel::start_over(double device_time, std::int64_t arrival_ns) {
    anchored_ = true;
    anchor_device_ = device_time;
    anchor_arrival_ = arrival_ns;
    head_ = count_ = since_fit_ = 0;
    line_.reset();
    late_since_.reset();
    report_.fitted = false;
    report_.window = 0;
    changed_ = true;
}

// Judged against the fit made before this sample: a jump forward shows as a
// sample far below the line at once; a clock that stopped or went back
// without stepping back shows as samples far above it for a long while,
// while a backlog drained after a stall is far above it only for a moment
// of the host's time.
bool ClockModel::jumped(double o, double x, std::int64_t arrival_ns) {
    if (!line_) return false;
    const double residual = o - (*line_)(x);
    if (residual < -kJumpNs) return true;
    if (!(residual > kLateNs)) {
        late_since_.reset();
        return false;
    }
    if (!late_since_) late_since_ = arrival_ns;
    return arrival_ns - *late_since_ >= kLateForNs;
}

std::optional<std::int64_t> ClockModel::map(double device_time, std::int64_t arrival_ns) {
    if (!std::isfinite(device_time)) return std::nullopt;
    const auto week = static_cast<std::int64_t>(std::floor(device_time / kSecondsPerWeek));
    if (!anchored_) {
        start_over(device_time, arrival_ns);
    } else if (week != week_ || device_time < last_device_) {
        ++report_.resets;
        start_over(device_time, arrival_ns);
    } else if (device_time == last_device_) {
        return std::nullopt;
    }
    auto x = device_time - anchor_device_;
    auto o = static_cast<double>(arrival_ns - anchor_arrival_) - x * kNsPerSecond;
    if (jumped(o, x, arrival_ns)) {
        ++report_.resets;
        start_over(device_time, arrival_ns);
        x = o = 0;
    }
    last_device_ = device_time;
    week_ = week;
    push({x, o});
    const bool below = line_ && o < (*line_)(x);
    if ((!line_ || below || ++since_fit_ >= kRefitEvery) && count_ >= kMinPoints) fit();
    if (!line_) return std::nullopt;
    const std::int64_t estimate = anchor_arrival_ + std::llround(x * kNsPerSecond + (*line_)(x));
    return std::min(estimate, arrival_ns);
}

void ClockModel::push(Point p) {
    while (count_ > 0 && (p.x - at(0).x > kWindowSeconds || count_ == ring_.size())) {
        head_ = (head_ + 1) % ring_.size();
        --count_;
    }
    ring_[(head_ + count_) % ring_.size()] = p;
    ++count_;
}

void ClockModel::fit() {
    since_fit_ = 0;
    const double last_x = at(count_ - 1).x;
    std::optional<Line> line;
    if (last_x - at(0).x >= kMinSpanSeconds) {
        double sum = 0;
        for (std::size_t i = 0; i < count_; ++i) sum += at(i).x;
        line = lower_hull_line(sum / static_cast<double>(count_));
        if (std::abs(line->slope) > kMaxDriftPpm * 1e3) line.reset();
    }
    if (line) {
        slope_ = line->slope;
    } else {
        // The running minimum under the last known drift.
        double lowest = at(0).o - slope_ * at(0).x;
        for (std::size_t i = 1; i < count_; ++i) lowest = std::min(lowest, at(i).o - slope_ * at(i).x);
        line = Line{lowest, slope_};
    }
    line_ = line;
    publish(last_x);
}

// The lower hull by the monotone chain (the points are in device-time
// order), then its edge over `mean_x`.
ClockModel::Line ClockModel::lower_hull_line(double mean_x) {
    hull_.clear();
    for (std::size_t i = 0; i < count_; ++i) {
        while (hull_.size() >= 2 && turn(at(hull_[hull_.size() - 2]), at(hull_.back()), at(i)) <= 0) hull_.pop_back();
        hull_.push_back(i);
    }
    std::size_t edge = 0;
    while (edge + 2 < hull_.size() && at(hull_[edge + 1]).x < mean_x) ++edge;
    const Point& a = at(hull_[edge]);
    const Point& b = at(hull_[edge + 1]);
    const double slope = (b.o - a.o) / (b.x - a.x);
    return {a.o - slope * a.x, slope};
}

void ClockModel::publish(double x) {
    const Line& line = *line_;
    double sum = 0, squares = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        const double r = at(i).o - line(at(i).x);
        sum += r;
        squares += r * r;
    }
    const double n = static_cast<double>(count_);
    const double mean = sum / n;
    report_.fitted = true;
    report_.offset_ns = anchor_arrival_ + std::llround(line(x) - anchor_device_ * kNsPerSecond);
    report_.drift_ppm = -line.slope / 1e3;
    report_.window = count_;
    report_.spread_ns = std::sqrt(std::max(0.0, squares / n - mean * mean));
    changed_ = true;
}

}  // namespace ahrs
