// The field records of the sensor-data and estimation-filter descriptor sets:
// field descriptor, variant name, and the items in wire order with their
// units. The wire carries no units: these are the project's declared
// default, the one table every unit lookup starts from (Python's units()
// lays a user's overrides on top). Scaled accelerometer outputs are in
// standard gravities and delta-velocity in g*s, as inertial sensors most
// often send them; the filter's compensated and linear accelerations and its
// gravity vector are in m/s^2. The stabilised north and up vectors are
// directions whose scale the data leave open: their unit is "unknown".
#include <array>

#include "reading.hpp"

namespace ahrs {
namespace {

using W = WireType;

// Units of the values as sent (never converted here). An orientation's matrix and
// quaternion, counts, enumerations and flags have none ("").
constexpr std::string_view kNone = "";
constexpr std::string_view kUnknown = "unknown";
constexpr std::string_view kSeconds = "s";
constexpr std::string_view kWeeks = "week";
constexpr std::string_view kRad = "rad";
constexpr std::string_view kRadPerS = "rad/s";
constexpr std::string_view kMPerS2 = "m/s^2";
constexpr std::string_view kG = "g";
constexpr std::string_view kGSeconds = "g*s";
constexpr std::string_view kGauss = "gauss";
constexpr std::string_view kMbar = "mbar";
constexpr std::string_view kMetres = "m";

constexpr ItemSpec kFlag = {"valid", W::Flag, kNone};

// Three float32 items in one unit, then the validity flag when `valid`.
template <bool valid>
constexpr auto three(std::string_view a, std::string_view b, std::string_view c, std::string_view unit) {
    std::array<ItemSpec, valid ? 4 : 3> items{{{a, W::F32, unit}, {b, W::F32, unit}, {c, W::F32, unit}}};
    if constexpr (valid) items[3] = kFlag;
    return items;
}
template <bool valid>
constexpr auto xyz(std::string_view unit) {
    return three<valid>("x", "y", "z", unit);
}
template <bool valid>
constexpr auto euler(std::string_view unit) {
    return three<valid>("roll", "pitch", "yaw", unit);
}

constexpr auto kAcceleration = xyz<false>(kG);
constexpr auto kAngularRate = xyz<false>(kRadPerS);
constexpr auto kMagnetic = xyz<false>(kGauss);
constexpr auto kDeltaTheta = xyz<false>(kRad);
constexpr auto kDeltaVelocity = xyz<false>(kGSeconds);
// Directions whose scale the sensor's data leave open.
constexpr auto kDirection = xyz<false>(kUnknown);
constexpr auto kAngles = euler<false>(kRad);
constexpr ItemSpec kXyzw[] = {{"x", W::F32, kNone}, {"y", W::F32, kNone}, {"z", W::F32, kNone}, {"w", W::F32, kNone}};
constexpr ItemSpec kMatrix[] = {{"m11", W::F32, kNone}, {"m12", W::F32, kNone}, {"m13", W::F32, kNone},
                                {"m21", W::F32, kNone}, {"m22", W::F32, kNone}, {"m23", W::F32, kNone},
                                {"m31", W::F32, kNone}, {"m32", W::F32, kNone}, {"m33", W::F32, kNone}};
constexpr ItemSpec kPressure[] = {{"ambient_pressure", W::F32, kMbar}};
constexpr ItemSpec kGpsCorrelation[] = {
    {"gps_time_of_week", W::F64, kSeconds}, {"gps_week", W::U16, kWeeks}, {"timestamp_flags", W::U16, kNone}};

constexpr ItemSpec kFilterStatus[] = {
    {"filter_state", W::U16, kNone}, {"dynamics_mode", W::U16, kNone}, {"status_flags", W::U16, kNone}};
constexpr ItemSpec kGpsTimestamp[] = {
    {"time_of_week", W::F64, kSeconds}, {"week", W::U16, kWeeks}, {"valid_flags", W::Flag, kNone}};
constexpr ItemSpec kXyzwValid[] = {
    {"x", W::F32, kNone}, {"y", W::F32, kNone}, {"z", W::F32, kNone}, {"w", W::F32, kNone}, kFlag};
constexpr auto kAnglesValid = euler<true>(kRad);
constexpr ItemSpec kMatrixValid[] = {{"m11", W::F32, kNone}, {"m12", W::F32, kNone},
                                     {"m13", W::F32, kNone}, {"m21", W::F32, kNone},
                                     {"m22", W::F32, kNone}, {"m23", W::F32, kNone},
                                     {"m31", W::F32, kNone}, {"m32", W::F32, kNone},
                                     {"m33", W::F32, kNone}, kFlag};
constexpr auto kAngularRateValid = xyz<true>(kRadPerS);
constexpr auto kAccelerationValid = xyz<true>(kMPerS2);
constexpr ItemSpec kAltitudeValid[] = {{"pressure_altitude", W::F32, kMetres}, kFlag};
constexpr ItemSpec kGravityValid[] = {{"gravity_magnitude", W::F32, kMPerS2}, kFlag};

// Same order as SensorReading.
constexpr RecordSpec kSensorRecords[] = {
    {0x04, "ScaledAccVector", kAcceleration},
    {0x05, "ScaledGyroVector", kAngularRate},
    {0x06, "ScaledMageVector", kMagnetic},
    {0x07, "DeltaThetaVector", kDeltaTheta},
    {0x08, "DeltaVelocityVector", kDeltaVelocity},
    {0x17, "ScaledAmbientPressure", kPressure},
    {0x09, "CFOrientationMatrix", kMatrix},
    {0x0A, "CFQuaternion", kXyzw},
    {0x0C, "CFEulerAngles", kAngles},
    {0x10, "CFStabilizedNorthVector", kDirection},
    {0x11, "CFStabilizedUpVector", kDirection},
    {0x12, "GPSCorrelationTimestamp", kGpsCorrelation},
};

// Same order as EstimateReading.
constexpr RecordSpec kEstimateRecords[] = {
    {0x10, "FilterStatus", kFilterStatus},
    {0x11, "GPSTimestamp", kGpsTimestamp},
    {0x03, "OrientationQuaternion", kXyzwValid},
    {0x05, "OrientationEuler", kAnglesValid},
    {0x0A, "AttitudeUncertaintyEuler", kAnglesValid},
    {0x12, "AttitudeUncertaintyQuaternion", kXyzwValid},
    {0x04, "OrientationMatrix", kMatrixValid},
    {0x0E, "CompensatedAngularRate", kAngularRateValid},
    {0x06, "GyroBias", kAngularRateValid},
    {0x0B, "GyroBiasUncertainty", kAngularRateValid},
    {0x1C, "CompensatedAcceleration", kAccelerationValid},
    {0x0D, "LinearAcceleration", kAccelerationValid},
    {0x21, "PressureAltitude", kAltitudeValid},
    {0x13, "GravityVector", kAccelerationValid},
    {0x0F, "WGS84LocalGravityMagnitude", kGravityValid},
};

static_assert(std::size(kSensorRecords) == kSensorVariants);
static_assert(std::size(kEstimateRecords) == kEstimateVariants);

constexpr WireTypeSpec kWireTypes[] = {
    {4, 4, "f4"},  // F32
    {8, 8, "f8"},  // F64
    {2, 2, "u2"},  // U16
    {2, 1, "?"},   // Flag
};

constexpr TimeRecord kTimeRecords[] = {
    {static_cast<std::size_t>(SensorReading::GPSCorrelationTimestamp), 0, 1},
    {kSensorVariants + static_cast<std::size_t>(EstimateReading::GPSTimestamp), 0, 1},
};

}  // namespace

std::span<const RecordSpec> catalogue(ReadingKind kind) {
    if (kind == ReadingKind::Sensor) return kSensorRecords;
    return kEstimateRecords;
}

std::string_view kind_name(ReadingKind kind) { return kind == ReadingKind::Sensor ? "Sensor" : "Estimate"; }

const WireTypeSpec& wire_type_spec(WireType type) { return kWireTypes[static_cast<std::size_t>(type)]; }

const RecordSpec& slot_spec(std::size_t slot) {
    return slot < kSensorVariants ? kSensorRecords[slot] : kEstimateRecords[slot - kSensorVariants];
}

const TimeRecord& time_record(ReadingKind kind) { return kTimeRecords[kind == ReadingKind::Sensor ? 0 : 1]; }

}  // namespace ahrs
