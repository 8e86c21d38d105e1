#pragma once
#include <string>

#include "protocol/errors.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

// OSError(errno, description, filename), so that the interpreter picks the
// matching subclass (FileNotFoundError, PermissionError, ...); the name is
// given back as os.fsdecode would. Returns null.
PyObject* raise_file_error(const IoError& e, const std::string& filename);

}  // namespace ahrs::py
