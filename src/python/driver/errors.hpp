#pragma once
// How native failures become Python exceptions.
#include <string_view>

#include "device/errors.hpp"
#include "device/port.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

// The internal-failure exception class, derived from BaseException and
// created once per process on first use. Null (with an error set) if it
// cannot be created.
PyObject* panic_exception_type();

// Writes the failure's message and source location to standard error and
// raises PanicException. Always returns null, for `return raise_panic(...)`.
PyObject* raise_panic(const Panic& p, const char* file = __builtin_FILE(), int line = __builtin_LINE());

// Whether the call was abandoned for a signal whose handler raised: that
// exception is already set and is the one to propagate.
bool handler_exception_stands(const AHRSError& e);

// Both leave a signal handler's exception in place (see above).
PyObject* raise_value_error(const AHRSError& e);
PyObject* raise_os_error(const AHRSError& e);
// A port failure: its AHRSError as ValueError, or an internal failure.
PyObject* raise_port_error(const PortError& e, const char* file = __builtin_FILE(), int line = __builtin_LINE());

}  // namespace ahrs::py
