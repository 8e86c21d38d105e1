#pragma once
// One device clock mapped onto the host's monotonic clock, from what has
// arrived so far. A packet cannot reach the host before the device took it,
// so every point (device time, arrival - device time) lies on or above the
// line offset + drift * device time + the smallest transport delay. The
// model keeps the points of the last few seconds and fits that line from
// below: the edge of their lower convex hull over the middle of the window,
// which is where a line under all points is held up by the most of them
// (for delays spread exponentially it is the most likely line). Arrival
// jitter drops out; the smallest delay stays in, as no one-way model can
// see it.
//
// The fit starts afresh when the device time jumps (back at all, forward
// beyond what the host saw pass, or late for long), when its GPS week
// changes, and when the device is opened again. The drift survives a
// restart: both oscillators are still the same.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ahrs {

// The model as it stood at its last fit.
struct ClockReport {
    bool fitted = false;
    std::int64_t offset_ns = 0;  // host monotonic ns minus device ns, at the newest sample
    double drift_ppm = 0;        // how much faster the device clock runs than the host's
    std::size_t window = 0;      // samples the fit was made from
    std::uint64_t resets = 0;
    double spread_ns = 0;        // standard deviation of the delays above the line
};

class ClockModel {
public:
    // Seconds the window spans, and how many samples it holds at most.
    static constexpr double kWindowSeconds = 4.0;
    static constexpr std::size_t kMaxPoints = 8192;
    // Before the window spans this long its slope is not trusted: the last
    // known drift is kept and only the offset is fitted.
    static constexpr double kMinSpanSeconds = 1.0;
    static constexpr std::size_t kMinPoints = 4;  // before any estimate
    // A sample earlier than the line by more than this is a jump forward.
    static constexpr double kJumpNs = 20e6;
    // Samples later than the line by more than this, arriving over at least
    // kLateForNs of the host's time, are a clock that stopped or went back.
    static constexpr double kLateNs = 20e6;
    static constexpr std::int64_t kLateForNs = 1'000'000'000;
    // A fit stands for this many samples unless a sample falls below it.
    static constexpr std::size_t kRefitEvery = 16;
    static constexpr double kMaxDriftPpm = 2000;

    ClockModel();

    // The host monotonic instant (ns) at which the device took the sample
    // stamped `device_time` (GPS seconds) that arrived at `arrival_ns`.
    // None for a time that is not finite or repeats the last one (a frozen
    // clock says nothing new) and while the model has no fit yet.
    std::optional<std::int64_t> map(double device_time, std::int64_t arrival_ns);

    // The device was opened again: its clock may have started over.
    void restart();

    const ClockReport& report() const { return report_; }
    // True once after each fit or restart: the report changed.
    bool take_changed();

private:
    struct Point {
        double x;  // device seconds since the anchor
        double o;  // arrival minus device time, ns, relative to the anchor
    };
    struct Line {
        double at_zero;  // o at x = 0
        double slope;    // ns of o per device second
        double operator()(double x) const { return at_zero + slope * x; }
    };

    void start_over(double device_time, std::int64_t arrival_ns);
    bool jumped(double o, double x, std::int64_t arrival_ns);
    void push(Point p);
    void fit();
    Line lower_hull_line(double mean_x);
    void publish(double x);
    const Point& at(std::size_t i) const { return ring_[(head_ + i) % ring_.size()]; }

    std::vector<Point> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::vector<std::size_t> hull_;  // scratch for fit()
    bool anchored_ = false;
    double anchor_device_ = 0;  // seconds
    std::int64_t anchor_arrival_ = 0;
    double last_device_ = 0;
    std::int64_t week_ = 0;
    std::optional<Line> line_;
    double slope_ = 0;  // the last fitted, kept across restarts
    std::size_t since_fit_ = 0;
    std::optional<std::int64_t> late_since_;  // arrival of the first of a late run
    ClockReport report_;
    bool changed_ = false;
};

}  // namespace ahrs
