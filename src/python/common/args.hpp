#pragma once
// Argument parsing for the fast calling convention with keywords: binds
// positional and keyword arguments to parameter names, then converts each
// with the interpreter's usual TypeError/OverflowError phrasing.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "py_ref.hpp"

namespace ahrs::py {

class Args {
public:
    // Binds the call's arguments to `params` (all required). On a bad call
    // sets TypeError and ok() is false.
    Args(const char* func, std::initializer_list<const char*> params, PyObject* const* args, Py_ssize_t nargs,
         PyObject* kwnames);
    bool ok() const { return ok_; }

    // Conversions; each sets the Python error and returns nullopt on failure.
    std::optional<std::string> str(std::size_t i) const;
    // A file name as the system takes it: str, bytes or path-like, encoded as
    // os.fsencode does; a NUL in it is ValueError.
    std::optional<std::string> path(std::size_t i) const;
    std::optional<std::uint32_t> u32(std::size_t i) const;
    std::optional<std::uint64_t> u64(std::size_t i) const;
    std::optional<bool> boolean(std::size_t i) const;
    // The contents of a bytes object, valid while the call holds it.
    std::optional<std::span<const std::uint8_t>> bytes(std::size_t i) const;
    // The argument as given, borrowed from the call.
    PyObject* object(std::size_t i) const { return values_[i]; }

private:
    static constexpr std::size_t kMax = 8;
    void type_error(std::size_t i, const char* expected) const;
    const char* func_;
    const char* names_[kMax] = {};
    PyObject* values_[kMax] = {};  // borrowed from the call
    std::size_t count_ = 0;
    bool ok_ = false;
};

// For methods that take no arguments: TypeError unless the call has none.
bool no_args(const char* func, PyObject* args, PyObject* kwargs);

}  // namespace ahrs::py
