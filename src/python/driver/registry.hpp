#pragma once
// The classes the module registers; each type object is created once.
#include "python/common/py_ref.hpp"

namespace ahrs::py {

PyRef make_ahrs_client_type();
PyRef make_buffered_client_type();

}  // namespace ahrs::py
