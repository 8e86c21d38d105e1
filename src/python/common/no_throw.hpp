#pragma once
// Entry points from the interpreter. A C++ allocation that fails inside a
// call becomes MemoryError there: an exception must never unwind into the
// interpreter, which would end the process.
#include <new>
#include <stdexcept>

#include "py_ref.hpp"

namespace ahrs::py {

template <auto F>
struct NoThrow;

template <class R, class... A, R* (*F)(A...)>
struct NoThrow<F> {
    static R* call(A... args) noexcept {
        try {
            return F(args...);
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {  // a container asked for more than it can ever hold
        }
        PyErr_NoMemory();
        return nullptr;
    }
};

// `no_throw<f>` is `f` with allocation failures turned into MemoryError.
template <auto F>
constexpr auto no_throw = &NoThrow<F>::call;

}  // namespace ahrs::py
