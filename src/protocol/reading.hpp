#pragma once
// Decoded field records. All 27 record layouts are described once, as data
// (record_catalogue.cpp); decoding, the text form and the Python conversion
// are all driven from that one table.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ahrs {

enum class WireType : std::uint8_t { F32, F64, U16, Flag };

struct ItemSpec {
    std::string_view name;
    WireType type;
};

struct RecordSpec {
    std::uint8_t field_descriptor;
    std::string_view name;
    std::span<const ItemSpec> items;
};

enum class ReadingKind : std::uint8_t { Sensor, Estimate };

// Variants in catalogue order (the order in which the decoder consults them).
enum class SensorReading : std::uint8_t {
    ScaledAccVector, ScaledGyroVector, ScaledMageVector, DeltaThetaVector,
    DeltaVelocityVector, ScaledAmbientPressure, CFOrientationMatrix,
    CFQuaternion, CFEulerAngles, CFStabilizedNorthVector, CFStabilizedUpVector,
    GPSCorrelationTimestamp,
};
enum class EstimateReading : std::uint8_t {
    FilterStatus, GPSTimestamp, OrientationQuaternion, OrientationEuler,
    AttitudeUncertaintyEuler, AttitudeUncertaintyQuaternion, OrientationMatrix,
    CompensatedAngularRate, GyroBias, GyroBiasUncertainty,
    CompensatedAcceleration, LinearAcceleration, PressureAltitude,
    GravityVector, WGS84LocalGravityMagnitude,
};

enum class ValidFlag : std::uint8_t { Invalid = 0, Valid = 1 };

constexpr std::size_t kSensorVariants = 12;
constexpr std::size_t kEstimateVariants = 15;
constexpr std::size_t kMaxItems = 10;

std::span<const RecordSpec> catalogue(ReadingKind kind);
std::string_view kind_name(ReadingKind kind);  // "Sensor" / "Estimate"

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
    std::size_t slot() const { return (kind_ == ReadingKind::Sensor ? 0 : kSensorVariants) + variant_; }
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

// Decodes one field body (field descriptor byte, then the record data) as a
// record of the given set; nothing when the body is not decodable.
std::optional<Reading> decode_record(ReadingKind kind, std::span<const std::uint8_t> body);
// Reads a validity flag from two big-endian bytes: 0 and 1 only.
std::optional<ValidFlag> read_valid_flag(std::span<const std::uint8_t> two_bytes);

}  // namespace ahrs
