#include "ros2_messages.hpp"

#include <cstring>

namespace ahrs {
namespace {

// Fields align to their own size, counted from the end of the
// encapsulation header.
class CdrWriter {
public:
    explicit CdrWriter(std::string& out) : out_(out) {
        out_.clear();
        out_.append("\x00\x01\x00\x00", 4);
    }
    void u32(std::uint32_t v) { put(&v, sizeof v); }
    void i32(std::int32_t v) { put(&v, sizeof v); }
    void f64(double v) { put(&v, sizeof v); }
    void f64s(std::span<const double> v) {
        if (v.empty()) return;
        align(8);
        out_.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(double));
    }
    void string(std::string_view s) {
        u32(static_cast<std::uint32_t>(s.size() + 1));
        out_.append(s);
        out_.push_back('\0');
    }
    void stamp(std::int64_t ns) {
        std::int64_t sec = ns / 1'000'000'000;
        std::int64_t rest = ns % 1'000'000'000;
        if (rest < 0) sec -= 1, rest += 1'000'000'000;
        i32(static_cast<std::int32_t>(sec));
        u32(static_cast<std::uint32_t>(rest));
    }
    void header(const Ros2Header& h) {
        stamp(h.stamp_ns);
        string(h.frame_id);
    }

private:
    void align(std::size_t n) {
        const std::size_t at = out_.size() - 4;
        out_.append((n - at % n) % n, '\0');
    }
    void put(const void* v, std::size_t n) {
        align(n);
        out_.append(static_cast<const char*>(v), n);
    }
    std::string& out_;
};

#define AHRS_MSG(name, text) \
    "\n================================================================================\nMSG: " name "\n" text
#define AHRS_HEADER AHRS_MSG("std_msgs/Header", "builtin_interfaces/Time stamp\nstring frame_id")
#define AHRS_TIME AHRS_MSG("builtin_interfaces/Time", "int32 sec\nuint32 nanosec")
#define AHRS_VECTOR3 AHRS_MSG("geometry_msgs/Vector3", "float64 x\nfloat64 y\nfloat64 z")
#define AHRS_QUATERNION AHRS_MSG("geometry_msgs/Quaternion", "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1")

const Ros2Type kTypes[] = {
    {"sensor_msgs/msg/Imu",
     "std_msgs/Header header\n"
     "geometry_msgs/Quaternion orientation\nfloat64[9] orientation_covariance\n"
     "geometry_msgs/Vector3 angular_velocity\nfloat64[9] angular_velocity_covariance\n"
     "geometry_msgs/Vector3 linear_acceleration\nfloat64[9] linear_acceleration_covariance" AHRS_HEADER AHRS_TIME
         AHRS_QUATERNION AHRS_VECTOR3,
     37},
    {"sensor_msgs/msg/MagneticField",
     "std_msgs/Header header\ngeometry_msgs/Vector3 magnetic_field\nfloat64[9] magnetic_field_covariance" AHRS_HEADER
         AHRS_TIME AHRS_VECTOR3,
     12},
    {"sensor_msgs/msg/FluidPressure",
     "std_msgs/Header header\nfloat64 fluid_pressure\nfloat64 variance" AHRS_HEADER AHRS_TIME, 2},
    {"sensor_msgs/msg/TimeReference",
     "std_msgs/Header header\nbuiltin_interfaces/Time time_ref\nstring source" AHRS_HEADER AHRS_TIME, 2},
    {"tf2_msgs/msg/TFMessage",
     "geometry_msgs/TransformStamped[] transforms" AHRS_MSG(
         "geometry_msgs/TransformStamped",
         "std_msgs/Header header\nstring child_frame_id\ngeometry_msgs/Transform transform")
         AHRS_HEADER AHRS_TIME AHRS_MSG("geometry_msgs/Transform",
                                        "geometry_msgs/Vector3 translation\ngeometry_msgs/Quaternion rotation")
             AHRS_VECTOR3 AHRS_QUATERNION,
     7},
};

#undef AHRS_MSG
#undef AHRS_HEADER
#undef AHRS_TIME
#undef AHRS_VECTOR3
#undef AHRS_QUATERNION

constexpr std::string_view kShortNames[] = {"imu", "mag", "pressure", "time_reference", "tf"};

}  // namespace

const Ros2Type& ros2_type(Ros2Kind kind) { return kTypes[static_cast<std::size_t>(kind)]; }

bool ros2_kind_named(std::string_view name, Ros2Kind& kind) {
    for (std::size_t i = 0; i < std::size(kShortNames); ++i) {
        if (kShortNames[i] == name) {
            kind = static_cast<Ros2Kind>(i);
            return true;
        }
    }
    return false;
}

void encode_ros2(Ros2Kind kind, const Ros2Header& header, std::span<const double> row, std::string& out) {
    CdrWriter w(out);
    switch (kind) {
        case Ros2Kind::TimeReference:
            w.header(header);
            w.i32(static_cast<std::int32_t>(row[0]));
            w.u32(static_cast<std::uint32_t>(row[1]));
            w.string(header.other);
            return;
        case Ros2Kind::TfMessage:
            w.u32(1);
            w.header(header);
            w.string(header.other);
            w.f64s(row);
            return;
        default:  // a header, then doubles only
            w.header(header);
            w.f64s(row);
    }
}

}  // namespace ahrs
