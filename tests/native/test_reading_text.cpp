// The one-line text form of readings and the float layout it uses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "reference/reading_text.hpp"

namespace ahrs {
namespace {

struct FloatRow {
    double value;  // float32 rows hold the float32 nearest to it
    std::string f32;
    std::string f64;
};

// Each value laid out at both widths: a float32 field shows the shortest
// digits that read back at float32, a float64 field those at float64.
std::vector<FloatRow> float_rows() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {
        {1.0, "1.0", "1.0"},
        {0.0, "0.0", "0.0"},
        {-0.0, "-0.0", "-0.0"},
        {0.5, "0.5", "0.5"},
        {-0.25, "-0.25", "-0.25"},
        {100.0, "100.0", "100.0"},
        {0.1, "0.1", "0.1"},
        {static_cast<float>(0.1), "0.1", "0.10000000149011612"},
        {123.456, "123.456", "123.456"},
        {987654321.0, "987654340.0", "987654321.0"},
        {153600.25, "153600.25", "153600.25"},
        // The small threshold: 1e-4 is fixed, anything below it exponent.
        {1e-4, "0.0001", "0.0001"},
        {0.00012345, "0.00012345", "0.00012345"},
        {std::nextafter(1e-4, 0.0), "0.0001", "9.999999999999999e-5"},
        {5e-5, "5e-5", "5e-5"},
        {-2.5e-5, "-2.5e-5", "-2.5e-5"},
        {1.5e-7, "1.5e-7", "1.5e-7"},
        // The large threshold: 1e16 and above in exponent form.
        {9999999999999998.0, "1e16", "9999999999999998.0"},
        {1e16, "1e16", "1e16"},
        {-1e16, "-1e16", "-1e16"},
        {1.2345678e17, "1.2345678e17", "1.2345678e17"},
        {123456789012345680.0, "1.2345679e17", "1.2345678901234568e17"},
        {1e15, "1000000000000000.0", "1000000000000000.0"},
        {3.4028234663852886e38, "3.4028235e38", "3.4028234663852886e38"},
        {-1e300, "-inf", "-1e300"},
        {5e-324, "0.0", "5e-324"},
        {nan, "NaN", "NaN"},
        {-nan, "NaN", "NaN"},
        {inf, "inf", "inf"},
        {-inf, "-inf", "-inf"},
    };
}

TEST(FloatText, ShortestRoundTripDigitsAtEachWidth) {
    for (const auto& row : float_rows()) {
        SCOPED_TRACE(row.f64);
        std::string f32, f64;
        append_float(f32, static_cast<float>(row.value));
        append_double(f64, row.value);
        EXPECT_EQ(f32, row.f32);
        EXPECT_EQ(f64, row.f64);
    }
}

// Values that exist only at float32, on both sides of both thresholds.
TEST(FloatText, Float32Thresholds) {
    const struct {
        float value;
        std::string text;
    } rows[] = {
        {1e-4f, "0.0001"},
        {std::nextafter(1e-4f, 0.0f), "9.999999e-5"},
        {std::nextafter(1e-4f, 1.0f), "0.000100000005"},
        {1e16f, "1e16"},
        {std::nextafter(1e16f, 0.0f), "9999999000000000.0"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
        {-std::numeric_limits<float>::denorm_min(), "-1e-45"},
    };
    for (const auto& row : rows) {
        std::string out;
        append_float(out, row.value);
        EXPECT_EQ(out, row.text);
    }
}

Reading reading(Reading r, std::vector<double> items) {
    for (std::size_t i = 0; i < items.size(); ++i) r.set_item(i, items[i]);
    return r;
}

TEST(ReadingText, WritesKindVariantAndFieldsInOrder) {
    const struct {
        Reading r;
        std::string text;
    } rows[] = {
        {reading(EstimateReading::OrientationEuler, {0.5, -0.25, 1.0, 1}),
         "Estimate(OrientationEuler { roll: 0.5, pitch: -0.25, yaw: 1.0, valid: Valid })"},
        {reading(EstimateReading::GPSTimestamp, {5e-5, 2090, 0}),
         "Estimate(GPSTimestamp { time_of_week: 5e-5, week: 2090, valid_flags: Invalid })"},
        {reading(SensorReading::GPSCorrelationTimestamp, {5e-5, 65535, 0}),
         "Sensor(GPSCorrelationTimestamp { gps_time_of_week: 5e-5, gps_week: 65535, timestamp_flags: 0 })"},
        {reading(EstimateReading::FilterStatus, {2, 1, 64}),
         "Estimate(FilterStatus { filter_state: 2, dynamics_mode: 1, status_flags: 64 })"},
        {reading(SensorReading::CFQuaternion, {static_cast<float>(0.1), 0, -0.0, 1}),
         "Sensor(CFQuaternion { x: 0.1, y: 0.0, z: -0.0, w: 1.0 })"},
        {reading(EstimateReading::AttitudeUncertaintyQuaternion, {1, 2, 3, 4, 1}),
         "Estimate(AttitudeUncertaintyQuaternion { x: 1.0, y: 2.0, z: 3.0, w: 4.0, valid: Valid })"},
        {reading(SensorReading::ScaledAmbientPressure, {static_cast<float>(987654321.0)}),
         "Sensor(ScaledAmbientPressure { ambient_pressure: 987654340.0 })"},
        {reading(EstimateReading::WGS84LocalGravityMagnitude, {std::numeric_limits<double>::quiet_NaN(), 0}),
         "Estimate(WGS84LocalGravityMagnitude { gravity_magnitude: NaN, valid: Invalid })"},
    };
    for (const auto& row : rows) EXPECT_EQ(reading_text(row.r), row.text);
}

TEST(ReadingText, WritesListsInBrackets) {
    const auto acc = reading(SensorReading::ScaledAccVector, {1, 2, 3});
    const auto gyro = reading(SensorReading::ScaledGyroVector, {0, 0, -1});
    EXPECT_EQ(readings_text(std::vector<Reading>{}), "[]");
    EXPECT_EQ(readings_text(std::vector<Reading>{acc}), "[Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })]");
    EXPECT_EQ(readings_text(std::vector<Reading>{acc, gyro}),
              "[Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 }), "
              "Sensor(ScaledGyroVector { x: 0.0, y: 0.0, z: -1.0 })]");

    std::string out = "Parsed: ";
    append_readings_text(out, std::vector<Reading>{gyro});
    EXPECT_EQ(out, "Parsed: [Sensor(ScaledGyroVector { x: 0.0, y: 0.0, z: -1.0 })]");
}

}  // namespace
}  // namespace ahrs
