#pragma once
// Entry points from the interpreter. No C++ exception may unwind into the
// interpreter, which would end the process: one that leaves a call becomes
// that call's Python exception. A failed allocation is MemoryError, a system
// error that carries an errno is OSError with it, anything else RuntimeError.
//
// The one unwinding let through is a thread's own end: an interpreter that is
// finalising ends a daemon thread that asks for the lock back with
// pthread_exit, whose unwinding must reach the thread's start. So the entry
// points are not noexcept, and neither is anything between them and a point
// where the lock is taken back.
#include <cxxabi.h>

#include <new>
#include <stdexcept>
#include <system_error>

#include "py_ref.hpp"

namespace ahrs::py {

// Sets the Python exception for the C++ exception being handled; returns null.
inline PyObject* raise_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can ever hold
        return PyErr_NoMemory();
    } catch (const std::system_error& e) {
        const std::error_condition c = e.code().default_error_condition();
        if (c.category() == std::generic_category() && c.value() != 0) {
            if (c.value() == ENOMEM) return PyErr_NoMemory();
            PyRef exc = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is", c.value(), e.what()));
            if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
            return nullptr;
        }
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native failure");
    }
    return nullptr;
}

template <auto F>
struct NoThrow;

// The handler that lets a thread's end through names the unwinding's type, but
// that unwinding carries no object, so the reference it binds is null; nothing
// reads it. UndefinedBehaviorSanitizer is turned off for this one function
// (GCC's "null" alone does not reach a handler's binding); the compiler does
// not inline F into a function checked differently, so F is still checked.
template <class R, class... A, R* (*F)(A...)>
struct NoThrow<F> {
    __attribute__((no_sanitize("undefined"))) static R* call(A... args) {
        try {
            return F(args...);
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is ending: see above
        } catch (...) {
            raise_current_exception();
            return nullptr;
        }
    }
};

// `no_throw<f>` is `f` with every C++ exception turned into a Python one.
template <auto F>
constexpr auto no_throw = &NoThrow<F>::call;

}  // namespace ahrs::py
