#pragma once
// Exclusive access to a client object for the length of one method call. The
// interpreter lock already serialises callers, so a refusal only happens when
// a call re-enters its own object.
#include "py_ref.hpp"

namespace ahrs::py {

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
