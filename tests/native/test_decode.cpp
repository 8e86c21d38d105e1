// The field walk over a payload and the 27 records of the two data sets.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/flat_decode.hpp"
#include "protocol/mip_packet.hpp"
#include "protocol/text_layout.hpp"
#include "reference/reading_text.hpp"
#include "test_bytes.hpp"

namespace ahrs {
namespace {

using test_bytes::Bytes;
using test_bytes::put_be;

Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    for (std::string b; in >> b;) out.push_back(static_cast<std::uint8_t>(std::stoul(b, nullptr, 16)));
    return out;
}

std::vector<Reading> decode(std::uint8_t set, const Bytes& payload) {
    return to_sensor_readings_with_options(MipPacket(static_cast<Descriptor>(set), payload));
}

// The records as this system's wire format defines them, written out
// independently of the codec's own table: set, field descriptor, variant,
// and "name:type" per item (f float32, d float64, u uint16, v validity flag).
struct RecordRow {
    ReadingKind kind;
    std::uint8_t field_descriptor;
    const char* name;
    const char* items;
};

constexpr auto S = ReadingKind::Sensor;
constexpr auto E = ReadingKind::Estimate;

const RecordRow kRecords[] = {
    {S, 0x04, "ScaledAccVector", "x:f y:f z:f"},
    {S, 0x05, "ScaledGyroVector", "x:f y:f z:f"},
    {S, 0x06, "ScaledMageVector", "x:f y:f z:f"},
    {S, 0x07, "DeltaThetaVector", "x:f y:f z:f"},
    {S, 0x08, "DeltaVelocityVector", "x:f y:f z:f"},
    {S, 0x17, "ScaledAmbientPressure", "ambient_pressure:f"},
    {S, 0x09, "CFOrientationMatrix", "m11:f m12:f m13:f m21:f m22:f m23:f m31:f m32:f m33:f"},
    {S, 0x0A, "CFQuaternion", "x:f y:f z:f w:f"},
    {S, 0x0C, "CFEulerAngles", "roll:f pitch:f yaw:f"},
    {S, 0x10, "CFStabilizedNorthVector", "x:f y:f z:f"},
    {S, 0x11, "CFStabilizedUpVector", "x:f y:f z:f"},
    {S, 0x12, "GPSCorrelationTimestamp", "gps_time_of_week:d gps_week:u timestamp_flags:u"},
    {E, 0x10, "FilterStatus", "filter_state:u dynamics_mode:u status_flags:u"},
    {E, 0x11, "GPSTimestamp", "time_of_week:d week:u valid_flags:v"},
    {E, 0x03, "OrientationQuaternion", "x:f y:f z:f w:f valid:v"},
    {E, 0x05, "OrientationEuler", "roll:f pitch:f yaw:f valid:v"},
    {E, 0x0A, "AttitudeUncertaintyEuler", "roll:f pitch:f yaw:f valid:v"},
    {E, 0x12, "AttitudeUncertaintyQuaternion", "x:f y:f z:f w:f valid:v"},
    {E, 0x04, "OrientationMatrix", "m11:f m12:f m13:f m21:f m22:f m23:f m31:f m32:f m33:f valid:v"},
    {E, 0x0E, "CompensatedAngularRate", "x:f y:f z:f valid:v"},
    {E, 0x06, "GyroBias", "x:f y:f z:f valid:v"},
    {E, 0x0B, "GyroBiasUncertainty", "x:f y:f z:f valid:v"},
    {E, 0x1C, "CompensatedAcceleration", "x:f y:f z:f valid:v"},
    {E, 0x0D, "LinearAcceleration", "x:f y:f z:f valid:v"},
    {E, 0x21, "PressureAltitude", "pressure_altitude:f valid:v"},
    {E, 0x13, "GravityVector", "x:f y:f z:f valid:v"},
    {E, 0x0F, "WGS84LocalGravityMagnitude", "gravity_magnitude:f valid:v"},
};

struct Item {
    std::string name;
    char type;
};

std::vector<Item> items_of(const RecordRow& row) {
    std::vector<Item> out;
    std::istringstream in(row.items);
    for (std::string item; in >> item;) out.push_back({item.substr(0, item.size() - 2), item.back()});
    return out;
}

char type_letter(WireType t) {
    switch (t) {
        case WireType::F32: return 'f';
        case WireType::F64: return 'd';
        case WireType::U16: return 'u';
        case WireType::Flag: return 'v';
    }
    return '?';
}

std::uint8_t set_of(ReadingKind kind) { return kind == ReadingKind::Sensor ? 0x80 : 0x82; }

// A field laid out from a row: distinct, order-revealing values per item, so
// a swapped, misplaced or wrongly sized item cannot decode to the same record.
struct BuiltField {
    Bytes bytes;
    std::vector<double> values;
};

BuiltField build_field(const RecordRow& row, std::uint16_t flag) {
    BuiltField f{{0x00, row.field_descriptor}, {}};
    int i = 0;
    for (const auto& item : items_of(row)) {
        ++i;
        switch (item.type) {
            case 'f': {
                const float v = 1.5f * static_cast<float>(i) + 0.125f;
                put_be(f.bytes, std::bit_cast<std::uint32_t>(v), 4);
                f.values.push_back(v);
                break;
            }
            case 'd': {
                const double v = 123456.789 + i;
                put_be(f.bytes, std::bit_cast<std::uint64_t>(v), 8);
                f.values.push_back(v);
                break;
            }
            case 'u': {
                const std::uint16_t v = static_cast<std::uint16_t>(0x1234 + 0x101 * i);
                put_be(f.bytes, v, 2);
                f.values.push_back(v);
                break;
            }
            case 'v':
                put_be(f.bytes, flag, 2);
                f.values.push_back(flag);
                break;
        }
    }
    f.bytes[0] = static_cast<std::uint8_t>(f.bytes.size());
    return f;
}

TEST(RecordCatalogue, MatchesTheWireFormat) {
    for (auto kind : {S, E}) {
        const auto records = catalogue(kind);
        std::vector<const RecordRow*> rows;
        for (const auto& r : kRecords)
            if (r.kind == kind) rows.push_back(&r);
        ASSERT_EQ(records.size(), rows.size());
        for (std::size_t v = 0; v < rows.size(); ++v) {
            SCOPED_TRACE(rows[v]->name);
            EXPECT_EQ(records[v].field_descriptor, rows[v]->field_descriptor);
            EXPECT_EQ(records[v].name, rows[v]->name);
            const auto items = items_of(*rows[v]);
            ASSERT_EQ(records[v].items.size(), items.size());
            for (std::size_t i = 0; i < items.size(); ++i) {
                EXPECT_EQ(records[v].items[i].name, items[i].name);
                EXPECT_EQ(type_letter(records[v].items[i].type), items[i].type) << items[i].name;
            }
        }
    }
    EXPECT_EQ(Reading(SensorReading::GPSCorrelationTimestamp).name(), "GPSCorrelationTimestamp");
    EXPECT_EQ(Reading(EstimateReading::WGS84LocalGravityMagnitude).name(), "WGS84LocalGravityMagnitude");
}

TEST(Decode, EveryRecordDecodesFromItsLayoutAndNotFromOneByteLess) {
    for (const auto& row : kRecords) {
        SCOPED_TRACE(row.name);
        const auto field = build_field(row, 1);
        auto readings = decode(set_of(row.kind), field.bytes);
        ASSERT_EQ(readings.size(), 1u);
        const Reading& r = readings[0];
        EXPECT_EQ(r.kind(), row.kind);
        EXPECT_EQ(r.name(), row.name);
        ASSERT_EQ(r.size(), field.values.size());
        for (std::size_t i = 0; i < field.values.size(); ++i) EXPECT_EQ(r.item(i), field.values[i]) << "item " << i;

        // The minimal field length is the data size plus two; one less drops it.
        Bytes short_field(field.bytes.begin(), field.bytes.end() - 1);
        short_field[0] = static_cast<std::uint8_t>(short_field.size());
        EXPECT_TRUE(decode(set_of(row.kind), short_field).empty());
    }
}

TEST(Decode, ValidityFlagDecodesOnlyZeroAndOne) {
    const struct {
        std::uint16_t wire;
        bool decodes;
    } flags[] = {{0x0000, true}, {0x0001, true}, {0x0002, false}, {0x0100, false}, {0xFFFF, false}};
    for (const auto& row : kRecords) {
        if (std::string(row.items).find(":v") == std::string::npos) continue;
        for (const auto& f : flags) {
            SCOPED_TRACE(std::string(row.name) + " flag " + std::to_string(f.wire));
            auto readings = decode(0x82, build_field(row, f.wire).bytes);
            ASSERT_EQ(readings.size(), f.decodes ? 1u : 0u);
            if (f.decodes) {
                EXPECT_EQ(readings[0].item(readings[0].size() - 1), f.wire);
            }
        }
    }
    const struct {
        Bytes bytes;
        std::optional<ValidFlag> flag;
    } direct[] = {{{0x00, 0x00}, ValidFlag::Invalid}, {{0x00, 0x01}, ValidFlag::Valid}, {{0x00, 0x02}, std::nullopt},
                  {{0x01, 0x00}, std::nullopt},       {{0x00}, std::nullopt},           {{}, std::nullopt}};
    for (const auto& d : direct) EXPECT_EQ(read_valid_flag(d.bytes), d.flag);
}

// Hand-written wire bytes with the readings they stand for, in text form.
struct WalkCase {
    const char* name;
    std::uint8_t set;
    std::string payload;
    std::string expected;
};

const std::string kAcc = "0E 04 3F 80 00 00 40 00 00 00 40 40 00 00";  // 1, 2, 3
const std::string kGyro = "0E 05 00 00 00 00 00 00 00 00 BF 80 00 00";  // 0, 0, -1
const std::string kAccText = "Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })";
const std::string kGyroText = "Sensor(ScaledGyroVector { x: 0.0, y: 0.0, z: -1.0 })";
const std::string kEuler = "10 05 3F 00 00 00 BE 80 00 00 3F 80 00 00";  // flag follows
const std::string kMatrixFloats =
    "3F 80 00 00 40 00 00 00 40 40 00 00 40 80 00 00 40 A0 00 00 "
    "40 C0 00 00 40 E0 00 00 41 00 00 00 41 10 00 00";  // 1 to 9
const std::string kMatrixText =
    "m11: 1.0, m12: 2.0, m13: 3.0, m21: 4.0, m22: 5.0, m23: 6.0, "
    "m31: 7.0, m32: 8.0, m33: 9.0";

const std::vector<WalkCase>& walk_cases() {
    static const std::vector<WalkCase> cases = {
        // A payload and the fields in it.
        {"TwoSensorFields", 0x80, kAcc + " " + kGyro, "[" + kAccText + ", " + kGyroText + "]"},
        {"SameBytesAsEstimate", 0x82, kAcc + " " + kGyro, "[]"},
        {"UnknownFieldBetween", 0x80, kAcc + " 06 7E 01 02 03 04 " + kGyro, "[" + kAccText + ", " + kGyroText + "]"},
        {"RepeatedField", 0x80, kAcc + " " + kAcc, "[" + kAccText + ", " + kAccText + "]"},
        {"ZeroLengthStepsOneByte", 0x80, "00 " + kAcc, "[" + kAccText + "]"},
        {"LengthOneStepsOneByte", 0x80, "01 00 " + kAcc, "[" + kAccText + "]"},
        {"ShortFieldSkippedByItsLength", 0x80, "0A 04 3F 80 00 00 40 00 00 00 " + kGyro, "[" + kGyroText + "]"},
        // The surplus looks like a pressure field: found only if the walk
        // stepped by the record size instead of the field length.
        {"OverlongFieldSurplusSkipped", 0x80, "14 04 3F 80 00 00 40 00 00 00 40 40 00 00 06 17 3F 80 00 00 " + kGyro,
         "[" + kAccText + ", " + kGyroText + "]"},
        {"LastFieldOverrunsButCovers", 0x80, "FF 04 3F 80 00 00 40 00 00 00 40 40 00 00", "[" + kAccText + "]"},
        {"LastFieldOverrunsAndFallsShort", 0x80, kGyro + " 20 04 3F 80 00 00 40 00 00 00", "[" + kGyroText + "]"},
        {"TrailingLengthByte", 0x80, kAcc + " 0E", "[" + kAccText + "]"},
        {"EmptySensorPayload", 0x80, "", "[]"},
        {"EmptyEstimatePayload", 0x82, "", "[]"},
        {"CommandBaseDecodesNothing", 0x01, kAcc, "[]"},
        {"DataGNSS1DecodesNothing", 0x91, kAcc, "[]"},
        {"DataSystemDecodesNothing", 0xA0, kAcc, "[]"},
        // Sensor records.
        {"Quaternion", 0x80, "12 0A 3F 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "[Sensor(CFQuaternion { x: 1.0, y: 0.0, z: 0.0, w: 0.0 })]"},
        {"SensorMatrixRowByRow", 0x80, "26 09 " + kMatrixFloats,
         "[Sensor(CFOrientationMatrix { " + kMatrixText + " })]"},
        {"GpsCorrelation", 0x80, "0E 12 41 02 C0 02 00 00 00 00 08 2A 00 05",
         "[Sensor(GPSCorrelationTimestamp { gps_time_of_week: 153600.25, gps_week: 2090, timestamp_flags: 5 })]"},
        {"GpsCorrelationLength13", 0x80, "0D 12 41 02 C0 02 00 00 00 00 08 2A 00", "[]"},
        {"AmbientPressure", 0x80, "06 17 44 7A 00 00", "[Sensor(ScaledAmbientPressure { ambient_pressure: 1000.0 })]"},
        {"AmbientPressureLength5", 0x80, "05 17 44 7A 00", "[]"},
        {"SensorHasNo0B", 0x80, "10 0B 3F 80 00 00 40 00 00 00 40 40 00 00 00 01", "[]"},
        // Estimate records.
        {"EstimateHas0B", 0x82, "10 0B 3F 80 00 00 40 00 00 00 40 40 00 00 00 01",
         "[Estimate(GyroBiasUncertainty { x: 1.0, y: 2.0, z: 3.0, valid: Valid })]"},
        {"FilterStatus", 0x82, "08 10 00 02 00 01 00 40",
         "[Estimate(FilterStatus { filter_state: 2, dynamics_mode: 1, status_flags: 64 })]"},
        {"EulerValid", 0x82, kEuler + " 00 01",
         "[Estimate(OrientationEuler { roll: 0.5, pitch: -0.25, yaw: 1.0, valid: Valid })]"},
        {"EulerInvalid", 0x82, kEuler + " 00 00",
         "[Estimate(OrientationEuler { roll: 0.5, pitch: -0.25, yaw: 1.0, valid: Invalid })]"},
        {"EulerFlag2", 0x82, kEuler + " 00 02", "[]"},
        {"EulerFlag256", 0x82, kEuler + " 01 00", "[]"},
        {"EulerFlagMissing", 0x82, "0E 05 3F 00 00 00 BE 80 00 00 3F 80 00 00", "[]"},
        {"GpsTimestampFlag3", 0x82, "0E 11 41 02 C0 02 00 00 00 00 08 2A 00 03", "[]"},
        {"GpsTimestamp", 0x82, "0E 11 41 02 C0 02 00 00 00 00 08 2A 00 01",
         "[Estimate(GPSTimestamp { time_of_week: 153600.25, week: 2090, valid_flags: Valid })]"},
        {"PressureAltitude", 0x82, "08 21 C2 48 00 00 00 01",
         "[Estimate(PressureAltitude { pressure_altitude: -50.0, valid: Valid })]"},
        {"PressureAltitudeInSensorSet", 0x80, "08 21 C2 48 00 00 00 01", "[]"},
        {"GravityMagnitude", 0x82, "08 0F 41 1C F5 C3 00 01",
         "[Estimate(WGS84LocalGravityMagnitude { gravity_magnitude: 9.81, valid: Valid })]"},
        {"EstimateMatrixRowByRow", 0x82, "28 04 " + kMatrixFloats + " 00 01",
         "[Estimate(OrientationMatrix { " + kMatrixText + ", valid: Valid })]"},
    };
    return cases;
}

TEST(Decode, WalksFieldsByTheirOwnLength) {
    for (const auto& c : walk_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readings_text(decode(c.set, hex(c.payload))), c.expected);
    }
}

// The recorded-stream line decodes the packet its own way: the same walk.
TEST(Decode, PacketLineWalksFieldsTheSameWay) {
    PacketLine line;
    for (const auto& c : walk_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(line.build(static_cast<Descriptor>(c.set), hex(c.payload)), c.expected + "\n");
    }
}

TEST(Decode, AppendsToWhatTheCallerAlreadyHolds) {
    std::vector<Reading> out = decode(0x80, hex(kAcc));
    FlatPacket flat;
    decode_flat(Descriptor::DataSensor, hex(kGyro), flat);
    append_readings(flat, out);
    EXPECT_EQ(readings_text(out), "[" + kAccText + ", " + kGyroText + "]");
}

}  // namespace
}  // namespace ahrs
