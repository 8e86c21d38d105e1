#include "host_clock_fit.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <iterator>
#include <optional>

namespace ahrs {
namespace {

// A step of arrival minus device time larger than this (beyond what drift
// explains) is no transport delay.
constexpr double kJumpNs = 0.1e9;
// Drift allowed between two points, ns per ns: five times the largest
// expected of a crystal.
constexpr double kDriftBound = 1e-3;
// Arrivals may lag the envelope for this long (a stalled link delivering a
// backlog) before the device clock is taken to have stepped back.
constexpr double kStallS = 2.0;
// The envelope's level, for telling a jump from a delay, is the lowest point
// of the last few seconds.
constexpr double kReferenceS = 5.0;
// A segment longer than two windows gets a line per window.
constexpr double kWindowS = 60.0;

// Clock values come from a file: their sums and differences wrap rather
// than overflow.
std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

double ns_between(std::int64_t later, std::int64_t earlier) {
    return static_cast<double>(wrapping_add(later, static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(earlier))));
}

// x: device seconds since the segment's first point; y: arrival minus
// device time, ns, relative to that point's.
struct Point {
    double x;
    double y;
};

struct Line {
    double x0, y0, slope;  // slope in ns per device second
    double at(double x) const { return y0 + slope * (x - x0); }
};

// One packet of the set being fitted that has a device time and an arrival.
struct Timed {
    std::size_t packet;
    double device_time;
    std::int64_t monotonic_ns;
    bool fits = true;  // a frozen repeat of the time before it takes no part
};

struct Segment {
    std::size_t first, last;  // [first, last) of the set's timed packets
};

double cross(const Point& o, const Point& a, const Point& b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// The lower convex hull of points sorted by x, x strictly increasing.
std::vector<Point> lower_hull(std::span<const Point> pts) {
    std::vector<Point> hull;
    for (const Point& p : pts) {
        while (hull.size() >= 2 && cross(hull[hull.size() - 2], hull.back(), p) <= 0) hull.pop_back();
        hull.push_back(p);
    }
    return hull;
}

// The hull's edge under x: of all lines below every point, the one whose
// sum of distances to the points about x is least.
Line edge_under(std::span<const Point> pts, double x) {
    const auto hull = lower_hull(pts);
    if (hull.size() == 1) return {hull[0].x, hull[0].y, 0.0};
    std::size_t j = 0;
    while (j + 2 < hull.size() && hull[j + 1].x <= x) ++j;
    const Point& a = hull[j];
    const Point& b = hull[j + 1];
    return {a.x, a.y, (b.y - a.y) / (b.x - a.x)};
}

// The envelope of one segment: a line per window, their centres `step` apart.
class Envelope {
public:
    explicit Envelope(std::span<const Point> pts) {
        const double span = pts.back().x - pts.front().x;
        // Never more windows than points, however far apart a crafted file puts them.
        const double many = std::min(span / kWindowS, static_cast<double>(pts.size()));
        const std::size_t windows = span > 2 * kWindowS ? static_cast<std::size_t>(many) : 1;
        origin_ = pts.front().x;
        step_ = span / static_cast<double>(windows);
        for (std::size_t k = 0; k < windows; ++k) {
            const double centre = origin_ + (static_cast<double>(k) + 0.5) * step_;
            auto lo = std::lower_bound(pts.begin(), pts.end(), centre - step_, by_x);
            auto hi = std::upper_bound(pts.begin(), pts.end(), centre + step_, x_by);
            // Where the packets about the centre fell silent, the edge that spans the silence.
            if (windows == 1 || lo == hi || lo->x > centre || std::prev(hi)->x < centre)
                lo = pts.begin(), hi = pts.end();
            lines_.push_back(edge_under(std::span(lo, hi), centre));
        }
    }

    double at(double x) const {
        if (lines_.size() == 1) return lines_.front().at(x);
        const double k = (x - origin_) / step_ - 0.5;
        if (!(k > 0)) return lines_.front().at(x);
        if (k >= static_cast<double>(lines_.size() - 1)) return lines_.back().at(x);
        const auto below = static_cast<std::size_t>(k);
        const double t = k - static_cast<double>(below);
        return (1 - t) * lines_[below].at(x) + t * lines_[below + 1].at(x);
    }

    // Slope averaged over the windows, ns per device second.
    double slope() const {
        double sum = 0;
        for (const Line& l : lines_) sum += l.slope;
        return sum / static_cast<double>(lines_.size());
    }

private:
    static bool by_x(const Point& p, double x) { return p.x < x; }
    static bool x_by(double x, const Point& p) { return x < p.x; }

    double origin_ = 0, step_ = 1;
    std::vector<Line> lines_;
};

// Cuts the timed packets of one set into segments over which one clock
// relation holds (see the header).
class Segmenter {
public:
    explicit Segmenter(std::vector<Timed>& timed) : t_(timed) {}

    std::vector<Segment> run() {
        std::vector<Segment> out;
        std::size_t i = 0;
        while (i < t_.size()) {
            const std::size_t end = one_segment(i);
            out.push_back({i, end});
            i = end;
        }
        return out;
    }

private:
    double y_of(std::size_t i, std::size_t origin) const {
        return ns_between(t_[i].monotonic_ns, t_[origin].monotonic_ns) -
               (t_[i].device_time - t_[origin].device_time) * 1e9;
    }

    // The end of the segment that starts at `first`.
    std::size_t one_segment(std::size_t first) {
        std::deque<std::size_t> lowest;  // fitting points of the last few seconds, y increasing
        std::size_t last_fit = first;
        std::optional<std::size_t> high_since;  // first of a run of points above the envelope
        t_[first].fits = true;
        lowest.push_back(first);
        for (std::size_t i = first + 1; i < t_.size(); ++i) {
            const double x = t_[i].device_time;
            if (x < t_[last_fit].device_time) return i;
            t_[i].fits = x > t_[last_fit].device_time;
            if (!t_[i].fits) continue;
            while (lowest.size() > 1 && t_[lowest.front()].device_time < x - kReferenceS) lowest.pop_front();
            const std::size_t ref = lowest.front();
            const double y = y_of(i, first);
            const double bound = kJumpNs + kDriftBound * (x - t_[ref].device_time) * 1e9;
            if (y < y_of(ref, first) - bound) return i;  // the device clock leapt forward
            if (y > y_of(ref, first) + bound) {
                if (!high_since) high_since = i;
                if (x - t_[*high_since].device_time > kStallS) return *high_since;  // and it stayed behind
            } else {
                high_since.reset();
            }
            while (!lowest.empty() && y_of(lowest.back(), first) >= y) lowest.pop_back();
            lowest.push_back(i);
            last_fit = i;
        }
        return t_.size();
    }

    std::vector<Timed>& t_;
};

double quantile(std::vector<double>& v, double q) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// Unix seconds of monotonic instant `mono` (+ `extra_ns`), given wall minus monotonic.
double unix_seconds(std::int64_t mono, double extra_ns, std::int64_t wall_minus_mono) {
    const std::int64_t wall = wrapping_add(mono, wall_minus_mono);
    const std::int64_t whole = wall / 1'000'000'000;
    return static_cast<double>(whole) + (static_cast<double>(wall - whole * 1'000'000'000) + extra_ns) * 1e-9;
}

void fit_set(std::vector<Timed>& timed, std::span<const std::int64_t> packet_wm, HostClockFit& out, SetFit& fit) {
    std::vector<double> residuals;
    double weighted_slope = 0;
    for (const Segment& seg : Segmenter(timed).run()) {
        const Timed& o = timed[seg.first];
        std::vector<Point> pts;
        for (std::size_t i = seg.first; i < seg.last; ++i)
            if (timed[i].fits)
                pts.push_back({timed[i].device_time - o.device_time, ns_between(timed[i].monotonic_ns, o.monotonic_ns) -
                                                                         (timed[i].device_time - o.device_time) * 1e9});
        const Envelope env(pts);
        for (const Point& p : pts) residuals.push_back(p.y - env.at(p.x));
        for (std::size_t i = seg.first; i < seg.last; ++i) {
            const double x = timed[i].device_time - o.device_time;
            out.host_time[timed[i].packet] =
                unix_seconds(o.monotonic_ns, x * 1e9 + env.at(x), packet_wm[timed[i].packet]);
        }
        const double span = pts.back().x;
        weighted_slope += env.slope() * span;
        fit.span_s += span;
        ++fit.segments;
    }
    fit.packets = timed.size();
    fit.drift_ppm = fit.span_s > 0 ? -weighted_slope / fit.span_s / 1e3 : 0.0;
    fit.residual_p50_ns = quantile(residuals, 0.5);
    fit.residual_p99_ns = quantile(residuals, 0.99);
}

}  // namespace

HostClockFit fit_host_clock(std::span<const PacketClock> packets, std::span<const ReadTime> reads) {
    HostClockFit out;
    out.arrival_ns.assign(packets.size(), kNoArrival);
    out.host_time.assign(packets.size(), std::numeric_limits<double>::quiet_NaN());
    std::vector<std::int64_t> wall_minus_mono(packets.size(), 0);
    std::array<std::vector<Timed>, 256> by_set;
    std::size_t r = 0;
    for (std::size_t p = 0; p < packets.size(); ++p) {
        while (r < reads.size() && reads[r].end < packets[p].end) ++r;  // packets come in stream order
        if (r == reads.size()) break;
        out.arrival_ns[p] = wrapping_add(reads[r].monotonic_ns, reads[r].wall_minus_monotonic_ns);
        wall_minus_mono[p] = reads[r].wall_minus_monotonic_ns;
        if (std::isfinite(packets[p].device_time))
            by_set[packets[p].set].push_back({p, packets[p].device_time, reads[r].monotonic_ns});
    }
    for (std::size_t s = 0; s < by_set.size(); ++s)
        if (!by_set[s].empty()) fit_set(by_set[s], wall_minus_mono, out, out.sets[s]);
    return out;
}

}  // namespace ahrs
