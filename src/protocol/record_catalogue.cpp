// The field records of the sensor-data and estimation-filter descriptor sets:
// field descriptor, variant name, and the items in wire order.
#include "reading.hpp"

namespace ahrs {
namespace {

using W = WireType;

constexpr ItemSpec kXyz[] = {{"x", W::F32}, {"y", W::F32}, {"z", W::F32}};
constexpr ItemSpec kXyzw[] = {{"x", W::F32}, {"y", W::F32}, {"z", W::F32}, {"w", W::F32}};
constexpr ItemSpec kEuler[] = {{"roll", W::F32}, {"pitch", W::F32}, {"yaw", W::F32}};
constexpr ItemSpec kMatrix[] = {{"m11", W::F32}, {"m12", W::F32}, {"m13", W::F32},
                                {"m21", W::F32}, {"m22", W::F32}, {"m23", W::F32},
                                {"m31", W::F32}, {"m32", W::F32}, {"m33", W::F32}};
constexpr ItemSpec kPressure[] = {{"ambient_pressure", W::F32}};
constexpr ItemSpec kGpsCorrelation[] = {{"gps_time_of_week", W::F64}, {"gps_week", W::U16}, {"timestamp_flags", W::U16}};

constexpr ItemSpec kFilterStatus[] = {{"filter_state", W::U16}, {"dynamics_mode", W::U16}, {"status_flags", W::U16}};
constexpr ItemSpec kGpsTimestamp[] = {{"time_of_week", W::F64}, {"week", W::U16}, {"valid_flags", W::Flag}};
constexpr ItemSpec kXyzwValid[] = {{"x", W::F32}, {"y", W::F32}, {"z", W::F32}, {"w", W::F32}, {"valid", W::Flag}};
constexpr ItemSpec kEulerValid[] = {{"roll", W::F32}, {"pitch", W::F32}, {"yaw", W::F32}, {"valid", W::Flag}};
constexpr ItemSpec kMatrixValid[] = {{"m11", W::F32}, {"m12", W::F32}, {"m13", W::F32},
                                     {"m21", W::F32}, {"m22", W::F32}, {"m23", W::F32},
                                     {"m31", W::F32}, {"m32", W::F32}, {"m33", W::F32}, {"valid", W::Flag}};
constexpr ItemSpec kXyzValid[] = {{"x", W::F32}, {"y", W::F32}, {"z", W::F32}, {"valid", W::Flag}};
constexpr ItemSpec kAltitudeValid[] = {{"pressure_altitude", W::F32}, {"valid", W::Flag}};
constexpr ItemSpec kGravityValid[] = {{"gravity_magnitude", W::F32}, {"valid", W::Flag}};

// Same order as SensorReading.
constexpr RecordSpec kSensorRecords[] = {
    {0x04, "ScaledAccVector", kXyz},
    {0x05, "ScaledGyroVector", kXyz},
    {0x06, "ScaledMageVector", kXyz},
    {0x07, "DeltaThetaVector", kXyz},
    {0x08, "DeltaVelocityVector", kXyz},
    {0x17, "ScaledAmbientPressure", kPressure},
    {0x09, "CFOrientationMatrix", kMatrix},
    {0x0A, "CFQuaternion", kXyzw},
    {0x0C, "CFEulerAngles", kEuler},
    {0x10, "CFStabilizedNorthVector", kXyz},
    {0x11, "CFStabilizedUpVector", kXyz},
    {0x12, "GPSCorrelationTimestamp", kGpsCorrelation},
};

// Same order as EstimateReading.
constexpr RecordSpec kEstimateRecords[] = {
    {0x10, "FilterStatus", kFilterStatus},
    {0x11, "GPSTimestamp", kGpsTimestamp},
    {0x03, "OrientationQuaternion", kXyzwValid},
    {0x05, "OrientationEuler", kEulerValid},
    {0x0A, "AttitudeUncertaintyEuler", kEulerValid},
    {0x12, "AttitudeUncertaintyQuaternion", kXyzwValid},
    {0x04, "OrientationMatrix", kMatrixValid},
    {0x0E, "CompensatedAngularRate", kXyzValid},
    {0x06, "GyroBias", kXyzValid},
    {0x0B, "GyroBiasUncertainty", kXyzValid},
    {0x1C, "CompensatedAcceleration", kXyzValid},
    {0x0D, "LinearAcceleration", kXyzValid},
    {0x21, "PressureAltitude", kAltitudeValid},
    {0x13, "GravityVector", kXyzValid},
    {0x0F, "WGS84LocalGravityMagnitude", kGravityValid},
};

static_assert(std::size(kSensorRecords) == kSensorVariants);
static_assert(std::size(kEstimateRecords) == kEstimateVariants);

}  // namespace

std::span<const RecordSpec> catalogue(ReadingKind kind) {
    if (kind == ReadingKind::Sensor) return kSensorRecords;
    return kEstimateRecords;
}

std::string_view kind_name(ReadingKind kind) { return kind == ReadingKind::Sensor ? "Sensor" : "Estimate"; }

}  // namespace ahrs
