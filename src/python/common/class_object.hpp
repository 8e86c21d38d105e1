#pragma once
#include <new>
#include <utility>

#include "py_ref.hpp"

namespace ahrs::py {

// A Python object that carries a C++ value: constructed in place by tp_new,
// destroyed by tp_dealloc. The classes are final and have no __dict__ or
// weak-reference slot.
template <class T>
struct ClassObject {
    PyObject_HEAD bool borrowed;
    T value;

    static ClassObject* cast(PyObject* self) { return reinterpret_cast<ClassObject*>(self); }

    template <class... A>
    static PyObject* create(PyTypeObject* type, A&&... args) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = cast(self);
        obj->borrowed = false;
        new (&obj->value) T(std::forward<A>(args)...);
        return self;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        cast(self)->value.~T();
        auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free(self);
        Py_DECREF(type);  // heap types are owned by their instances
    }
};

// Creates a final heap type named builtins.<name>.
inline PyRef make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    return PyRef::steal(PyType_FromSpec(&spec));
}

// Exclusive access to a client object for the length of one method call. The
// interpreter lock already serialises callers, so a refusal only happens when
// a call re-enters its own object.
class Borrow {
public:
    explicit Borrow(bool& flag) : flag_(flag), ok_(!flag) {
        if (ok_) flag_ = true;
        else PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~Borrow() {
        if (ok_) flag_ = false;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const { return ok_; }

private:
    bool& flag_;
    bool ok_;
};

}  // namespace ahrs::py
