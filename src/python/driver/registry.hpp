#pragma once
// What the module registers: its classes, each type object created once,
// and its function.
#include "python/common/py_ref.hpp"

namespace ahrs::py {

PyRef make_ahrs_client_type();
PyRef make_buffered_client_type();

// parse_data_stream_py(filename): prints each packet of a recorded stream.
extern PyMethodDef parse_data_stream_def;

}  // namespace ahrs::py
