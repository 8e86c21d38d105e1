// The live clock model against synthetic streams whose true instants are
// known: a device clock with skew, packets delayed by exponential jitter
// above a smallest delay, and the clock misbehaving in the ways devices do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "live/clock_model.hpp"
#include "live/stream_clock.hpp"

using ahrs::ClockModel;
using ahrs::StreamClock;

namespace {

constexpr double kWeek = 604800.0;
constexpr double kStart = 2345 * kWeek + 345600.0;  // GPS seconds
constexpr std::int64_t kHostStart = 5'000'000'000'000;
constexpr std::int64_t kMinDelayNs = 150'000;

// A device sampling at `rate` Hz on a clock `skew_ppm` fast, each packet
// reaching the host after the smallest delay plus an exponential one of
// mean `jitter_us`, never overtaking the one before (writes bunch up).
struct Stream {
    double rate = 250;
    double skew_ppm = 0;
    double jitter_us = 1000;
    double device_start = kStart;
    std::mt19937_64 rng{7};
    std::int64_t last_arrival = 0;
    std::int64_t k = 0;

    struct Packet {
        double device_time;
        std::int64_t truth_ns;
        std::int64_t arrival_ns;
    };
    Packet next() {
        const double device = device_start + static_cast<double>(k) / rate;
        const auto truth = kHostStart + std::llround(static_cast<double>(k) / rate / (1 + skew_ppm * 1e-6) * 1e9);
        ++k;
        double jitter = 0;
        if (jitter_us > 0) jitter = std::exponential_distribution<double>(1.0 / (jitter_us * 1e3))(rng);
        last_arrival = std::max<std::int64_t>(last_arrival, truth + kMinDelayNs + std::llround(jitter));
        return {device, truth, last_arrival};
    }
};

// |estimate - truth| in ns over the next `to` packets fed to `model`, from
// the `from`th on; each of those must have an estimate.
std::vector<double> errors(ClockModel& model, Stream& s, int from, int to) {
    std::vector<double> out;
    for (int i = 0; i < to; ++i) {
        const auto p = s.next();
        const auto t = model.map(p.device_time, p.arrival_ns);
        if (i < from) continue;
        EXPECT_TRUE(t.has_value()) << "packet " << i;
        if (t) out.push_back(std::abs(static_cast<double>(*t - p.truth_ns)));
    }
    return out;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

// Whatever the skew, the estimate sits the smallest delay after the truth,
// give or take far less than the jitter; without jitter, almost exactly.
struct SkewCase {
    double skew_ppm;
    double jitter_us;
};
class ClockSkew : public testing::TestWithParam<SkewCase> {};

TEST_P(ClockSkew, EstimatesTrackTheTruthAfterTheSmallestDelay) {
    Stream s;
    s.skew_ppm = GetParam().skew_ppm;
    s.jitter_us = GetParam().jitter_us;
    ClockModel model;
    const auto e = errors(model, s, 500, 5000);  // 2 s to 20 s
    const double bias = static_cast<double>(kMinDelayNs);
    EXPECT_NEAR(percentile(e, 0.5), bias, 30'000);
    EXPECT_LT(percentile(e, 0.99), bias + 60'000);
    EXPECT_NEAR(model.report().drift_ppm, GetParam().skew_ppm, 2.0);
    EXPECT_EQ(model.report().resets, 0u);
    EXPECT_GT(model.report().window, 900u);
}

INSTANTIATE_TEST_SUITE_P(, ClockSkew,
                         testing::Values(SkewCase{0, 1000}, SkewCase{50, 1000}, SkewCase{200, 1000},
                                         SkewCase{-200, 1000}, SkewCase{200, 0}, SkewCase{-200, 0}));

TEST(ClockModel, NoEstimateBeforeAFitNorForATimeThatSaysNothing) {
    ClockModel model;
    Stream s;
    for (std::size_t i = 0; i + 1 < ClockModel::kMinPoints; ++i) {
        const auto p = s.next();
        EXPECT_FALSE(model.map(p.device_time, p.arrival_ns));
    }
    auto p = s.next();
    EXPECT_TRUE(model.map(p.device_time, p.arrival_ns));
    EXPECT_FALSE(model.map(NAN, p.arrival_ns + 1000));
    EXPECT_FALSE(model.map(p.device_time, p.arrival_ns + 4'000'000)) << "a frozen clock";
    EXPECT_TRUE(model.report().fitted);
}

// The device clock misbehaves once, 10 s into the stream; 2 s later the
// estimates are accurate again and the model started over once.
struct Misstep {
    const char* name;
    double device_step;  // added to the device time from then on
    double freeze;       // seconds the device time stands still first
};
class ClockMisstep : public testing::TestWithParam<Misstep> {};

TEST_P(ClockMisstep, StartsOverAndRecovers) {
    Stream s;
    s.skew_ppm = 80;
    ClockModel model;
    (void)errors(model, s, 2500, 2500);
    const auto m = GetParam();
    for (int i = 0; i < m.freeze * s.rate; ++i) {
        auto p = s.next();
        (void)model.map(s.device_start + 2500 / s.rate, p.arrival_ns);
    }
    // The stopped clock goes on from where it stood.
    s.device_start += m.device_step - m.freeze;
    const auto e = errors(model, s, 500, 1500);
    EXPECT_LT(percentile(e, 0.99), kMinDelayNs + 100'000) << m.name;
    EXPECT_EQ(model.report().resets, 1u) << m.name;
    EXPECT_NEAR(model.report().drift_ppm, 80, 5) << m.name;
}

INSTANTIATE_TEST_SUITE_P(, ClockMisstep,
                         testing::Values(Misstep{"back 3 s", -3, 0}, Misstep{"back 30 ms", -0.03, 0},
                                         Misstep{"forward 5 s", 5, 0}, Misstep{"forward 30 ms", 0.03, 0},
                                         Misstep{"stopped 2 s", 0, 2}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             std::replace(n.begin(), n.end(), ' ', '_');
                             return n;
                         });

TEST(ClockModel, WeekRolloverStartsOverWithoutLosingTheDrift) {
    Stream s;
    s.skew_ppm = -150;
    s.device_start = 2346 * kWeek - 8;  // the week ends 8 s in
    ClockModel model;
    (void)errors(model, s, 2500, 2500);
    const auto e = errors(model, s, 0, 1500);
    EXPECT_EQ(model.report().resets, 1u);
    EXPECT_LT(percentile(e, 0.99), kMinDelayNs + 100'000);
    EXPECT_NEAR(model.report().drift_ppm, -150, 5);
}

TEST(ClockModel, LateBacklogIsNoJump) {
    // The reader stalled for half a second: what queued meanwhile arrives at once.
    Stream s;
    ClockModel model;
    (void)errors(model, s, 1000, 1000);
    const std::int64_t stall_end = s.last_arrival + 500'000'000;
    for (int i = 0; i < 125; ++i) {
        const auto p = s.next();
        s.last_arrival = std::max<std::int64_t>(p.arrival_ns, stall_end + i * 10000);
        (void)model.map(p.device_time, s.last_arrival);
    }
    const auto e = errors(model, s, 0, 500);
    EXPECT_EQ(model.report().resets, 0u);
    EXPECT_LT(percentile(e, 0.99), kMinDelayNs + 100'000);
}

TEST(ClockModel, RestartKeepsTheDrift) {
    Stream s;
    s.skew_ppm = 120;
    ClockModel model;
    (void)errors(model, s, 2500, 2500);
    model.restart();
    // Opened again 3 s later, its clock set anew.
    s.device_start = kStart + 1000;
    s.k += 750;
    for (std::size_t i = 0; i + 1 < ClockModel::kMinPoints; ++i) {
        const auto p = s.next();
        EXPECT_FALSE(model.map(p.device_time, p.arrival_ns));
    }
    const auto e = errors(model, s, 50, 200);  // under a second: the kept drift carries it
    EXPECT_LT(percentile(e, 0.99), kMinDelayNs + 100'000);
    EXPECT_EQ(model.report().resets, 1u);
}
