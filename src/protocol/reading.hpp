#pragma once
// Decoded field records. All 27 record layouts, their items' wire types and
// units, are described once, as data (record_catalogue.cpp); decoding, every
// layout of the values and the Python conversion are driven from that one
// table.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ahrs {

enum class WireType : std::uint8_t { F32, F64, U16, Flag };

// What each wire type takes: bytes on the wire, bytes in a table row (a
// flag is one byte there, 1 for Valid), and the array type code of its
// column.
struct WireTypeSpec {
    std::uint8_t wire_width;
    std::uint8_t row_width;
    std::string_view type_code;
};
const WireTypeSpec& wire_type_spec(WireType type);
inline std::size_t wire_width(WireType type) { return wire_type_spec(type).wire_width; }
inline std::size_t row_width(WireType type) { return wire_type_spec(type).row_width; }

// `unit` is the unit of the value as sent (nothing is ever converted): ""
// for a dimensionless value, a count, an enumeration or bit flags, and
// "unknown" where the sensor's data do not tell it.
struct ItemSpec {
    std::string_view name;
    WireType type;
    std::string_view unit;
};

struct RecordSpec {
    std::uint8_t field_descriptor;
    std::string_view name;
    std::span<const ItemSpec> items;
};

enum class ReadingKind : std::uint8_t { Sensor, Estimate };

// Variants in catalogue order (the order in which the decoder consults them).
enum class SensorReading : std::uint8_t {
    ScaledAccVector,
    ScaledGyroVector,
    ScaledMageVector,
    DeltaThetaVector,
    DeltaVelocityVector,
    ScaledAmbientPressure,
    CFOrientationMatrix,
    CFQuaternion,
    CFEulerAngles,
    CFStabilizedNorthVector,
    CFStabilizedUpVector,
    GPSCorrelationTimestamp,
};
enum class EstimateReading : std::uint8_t {
    FilterStatus,
    GPSTimestamp,
    OrientationQuaternion,
    OrientationEuler,
    AttitudeUncertaintyEuler,
    AttitudeUncertaintyQuaternion,
    OrientationMatrix,
    CompensatedAngularRate,
    GyroBias,
    GyroBiasUncertainty,
    CompensatedAcceleration,
    LinearAcceleration,
    PressureAltitude,
    GravityVector,
    WGS84LocalGravityMagnitude,
};

enum class ValidFlag : std::uint8_t { Invalid = 0, Valid = 1 };

constexpr std::size_t kSensorVariants = 12;
constexpr std::size_t kEstimateVariants = 15;
constexpr std::size_t kMaxItems = 10;

std::span<const RecordSpec> catalogue(ReadingKind kind);
std::string_view kind_name(ReadingKind kind);  // "Sensor" / "Estimate"

// Records are numbered 0 to 26: the sensor records, then the estimate ones.
constexpr std::size_t kRecordSlots = kSensorVariants + kEstimateVariants;
const RecordSpec& slot_spec(std::size_t slot);
inline std::size_t slot_of(ReadingKind kind, std::uint8_t variant) {
    return (kind == ReadingKind::Sensor ? 0 : kSensorVariants) + variant;
}
inline ReadingKind slot_kind(std::size_t slot) {
    return slot < kSensorVariants ? ReadingKind::Sensor : ReadingKind::Estimate;
}

// The record that dates a packet of each set (GPSCorrelationTimestamp,
// GPSTimestamp): its slot, and the items holding the GPS time of week (s)
// and the GPS week.
struct TimeRecord {
    std::size_t slot;
    std::size_t time_of_week;
    std::size_t week;
};
const TimeRecord& time_record(ReadingKind kind);
constexpr double kSecondsPerWeek = 604800.0;

// One decoded record. Every item is held as a double: float32 values widen
// exactly, 16-bit integers and flags are exact too, so the record keeps its
// values as sent and the item's wire type (from the catalogue) says how to
// show it.
class Reading {
public:
    Reading(ReadingKind kind, std::uint8_t variant) : kind_(kind), variant_(variant) {}
    Reading(SensorReading v) : Reading(ReadingKind::Sensor, static_cast<std::uint8_t>(v)) {}
    Reading(EstimateReading v) : Reading(ReadingKind::Estimate, static_cast<std::uint8_t>(v)) {}

    ReadingKind kind() const { return kind_; }
    std::uint8_t variant() const { return variant_; }
    // Index among all 27 variants: sensors first, then estimates.
    std::size_t slot() const { return slot_of(kind_, variant_); }
    const RecordSpec& spec() const { return catalogue(kind_)[variant_]; }
    std::string_view name() const { return spec().name; }
    std::size_t size() const { return spec().items.size(); }

    double item(std::size_t i) const { return items_[i]; }
    void set_item(std::size_t i, double v) { items_[i] = v; }

    bool operator==(const Reading&) const = default;

private:
    ReadingKind kind_;
    std::uint8_t variant_;
    std::array<double, kMaxItems> items_{};
};

}  // namespace ahrs
