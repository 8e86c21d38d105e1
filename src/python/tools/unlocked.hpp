#pragma once
// Long native work runs without the interpreter lock. Every few thousand
// packets the lock is taken back for a moment, so that Ctrl-C (and any other
// signal handler) gets its turn and a progress callback can be told.
#include "device/scan_loop.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // A hook that runs the signal handlers and then `progress(consumed)`
    // (unless it is None) under the lock; a Python error stops the scan and
    // stays set for the caller to return.
    ScanHook hook(PyObject* progress);

private:
    PyThreadState* state_;
};

}  // namespace ahrs::py
