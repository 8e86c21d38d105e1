// Folding one packet's readings into the map keyed by variant name.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "protocol/snapshot_map.hpp"

namespace ahrs {
namespace {

Reading euler(double roll, double valid) {
    Reading r(EstimateReading::OrientationEuler);
    r.set_item(0, roll);
    r.set_item(3, valid);
    return r;
}

// The map's entries as the Python layer will see them: texts and readings
// by key.
struct Entries {
    std::map<std::string, std::string> texts;
    std::map<std::string, Reading> readings;
    std::size_t visits = 0;
};

Entries entries(const SnapshotMap& map) {
    Entries out;
    map.for_each([&](std::string_view key, const ReadingOrString& value) {
        ++out.visits;
        if (const auto* text = std::get_if<std::string_view>(&value)) out.texts.emplace(key, *text);
        else out.readings.emplace(key, std::get<Reading>(value));
    });
    return out;
}

TEST(SnapshotMap, SensorPacketGivesTypeAndOneEntryPerVariant) {
    Reading acc(SensorReading::ScaledAccVector);
    acc.set_item(2, 3.0);
    const Reading gyro(SensorReading::ScaledGyroVector);
    const auto map = process_readings(std::vector<Reading>{acc, gyro});

    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(map.type(), "sensor");
    const auto e = entries(map);
    EXPECT_EQ(e.visits, 3u);
    EXPECT_EQ(e.texts, (std::map<std::string, std::string>{{"type", "sensor"}}));
    ASSERT_EQ(e.readings.size(), 2u);
    EXPECT_EQ(e.readings.at("ScaledAccVector"), acc);
    EXPECT_EQ(e.readings.at("ScaledGyroVector"), gyro);
    ASSERT_NE(map.find("ScaledAccVector"), nullptr);
    EXPECT_EQ(map.find("ScaledAccVector")->item(2), 3.0);
    EXPECT_EQ(map.find("DeltaThetaVector"), nullptr);
    EXPECT_EQ(map.find("type"), nullptr);
}

TEST(SnapshotMap, NoReadingsGiveAnEmptyMapWithoutType) {
    const auto map = process_readings({});
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.type(), std::nullopt);
    EXPECT_EQ(entries(map).visits, 0u);
}

TEST(SnapshotMap, LaterReadingOfAVariantWins) {
    const auto map = process_readings(std::vector<Reading>{euler(0.5, 1), euler(-1.0, 0)});
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.type(), "estimate");
    const auto e = entries(map);
    ASSERT_EQ(e.readings.size(), 1u);
    EXPECT_EQ(e.readings.at("OrientationEuler"), euler(-1.0, 0));
}

TEST(SnapshotMap, TypeNamesTheKindOfTheLastReading) {
    const Reading status(EstimateReading::FilterStatus);
    const Reading pressure(SensorReading::ScaledAmbientPressure);
    EXPECT_EQ(process_readings(std::vector<Reading>{pressure, status}).type(), "estimate");
    const auto map = process_readings(std::vector<Reading>{status, pressure});
    EXPECT_EQ(map.type(), "sensor");
    EXPECT_EQ(map.size(), 3u);
}

// Sensor and estimate variants share positions in their enumerations; each
// must still get its own key.
TEST(SnapshotMap, EveryVariantHasItsOwnKey) {
    std::vector<Reading> all;
    for (std::uint8_t v = 0; v < kSensorVariants; ++v) all.emplace_back(ReadingKind::Sensor, v);
    for (std::uint8_t v = 0; v < kEstimateVariants; ++v) all.emplace_back(ReadingKind::Estimate, v);
    const auto e = entries(process_readings(all));
    EXPECT_EQ(e.readings.size(), kSensorVariants + kEstimateVariants);
    for (const auto& [key, r] : e.readings) EXPECT_EQ(key, r.name());
    EXPECT_EQ(e.texts.at("type"), "estimate");
}

// The buffered reader reuses one map per slot: nothing of the previous
// packet may survive a clear.
TEST(SnapshotMap, ClearLeavesNothingBehind) {
    auto map = process_readings(std::vector<Reading>{euler(0.5, 1)});
    map.clear();
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.find("OrientationEuler"), nullptr);
    map.insert(Reading(SensorReading::CFEulerAngles));
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.type(), "sensor");
}

}  // namespace
}  // namespace ahrs
