#pragma once
#include "python/common/no_throw.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

extern PyMethodDef catalogue_def;
extern PyMethodDef wire_format_def;
extern PyMethodDef scan_def;
extern PyMethodDef scan_columns_def;
extern PyMethodDef dump_def;
extern PyMethodDef cut_times_def;

// The native half of Sensor.
PyRef make_live_reader_type();
// ROS 2 messages into an MCAP file.
PyRef make_ros2_writer_type();

}  // namespace ahrs::py
