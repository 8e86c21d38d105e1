#pragma once
// The ROS 2 messages an inertial sensor publishes, encoded as CDR
// (little-endian, with the 4-byte encapsulation header) from one row of
// doubles each, and the message definitions that describe them to readers
// that have no ROS installed.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ahrs {

enum class Ros2Kind : std::uint8_t { Imu, MagneticField, FluidPressure, TimeReference, TfMessage };

struct Ros2Type {
    std::string_view name;        // e.g. "sensor_msgs/msg/Imu"
    std::string_view definition;  // ros2msg text, dependencies after it
    std::size_t row;              // doubles per message
};

// Row layouts, in message order:
//   Imu            orientation x y z w, its covariance (9), angular velocity (3),
//                  its covariance (9), linear acceleration (3), its covariance (9)
//   MagneticField  field (3), covariance (9)
//   FluidPressure  pressure, variance
//   TimeReference  time_ref seconds, nanoseconds (whole numbers)
//   TfMessage      one transform: translation (3), rotation x y z w
const Ros2Type& ros2_type(Ros2Kind kind);
// The kind named by a short name ("imu", "mag", "pressure", "time_reference",
// "tf"); false when there is none.
bool ros2_kind_named(std::string_view name, Ros2Kind& kind);

struct Ros2Header {
    std::int64_t stamp_ns;
    std::string_view frame_id;
    std::string_view other;  // TfMessage: child_frame_id; TimeReference: source
};

// Replaces `out` with the message's bytes.
void encode_ros2(Ros2Kind kind, const Ros2Header& header, std::span<const double> row, std::string& out);

}  // namespace ahrs
