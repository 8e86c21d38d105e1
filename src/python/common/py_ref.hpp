#pragma once
// Owns one strong reference to a Python object; the only place in the
// extension that decrements reference counts.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ahrs::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, which signals a Python error).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function's return value).
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit PyRef(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace ahrs::py
