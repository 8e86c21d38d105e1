#pragma once
#include "python/common/py_ref.hpp"

namespace ahrs::py {

// parse_data_stream_py(filename): prints each packet of a recorded stream.
extern PyMethodDef parse_data_stream_def;

}  // namespace ahrs::py
