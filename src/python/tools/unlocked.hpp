#pragma once
// Long native work runs without the interpreter lock. Every few thousand
// packets the lock is taken back for a moment, so that Ctrl-C (and any other
// signal handler) gets its turn and a progress callback can be told. A
// blocking open or read cut short by a signal (a FIFO with no writer, or an
// idle one) takes the lock back the same way, through the interrupt check
// handed to it, and gives up if a handler raised.
//
// Any of those takes of the lock may end the thread instead (a daemon thread
// while the interpreter finalises, see no_throw.hpp): nothing on the way
// out may be noexcept, nor ask for the lock a second time.
#include "device/interrupts.hpp"
#include "recording/recording_scan.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

class Unlocked {
public:
    Unlocked();
    ~Unlocked() noexcept(false);
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // A hook that runs the signal handlers and then `progress(consumed)`
    // (unless it is None) under the lock; a Python error stops the scan and
    // stays set for the caller to return.
    ScanHook hook(PyObject* progress);
    // For the calls made while this lives, on this thread.
    InterruptCheck interrupt_check() { return InterruptCheck(&handler_raised, this); }

private:
    // True when a pending signal's handler raised; its exception is then set.
    static bool handler_raised(void* self);
    // Takes the lock back; the thread may end in here instead.
    void relock();
    void unlock() {
        state_ = PyEval_SaveThread();
        relocking_ = false;
    }

    PyThreadState* state_;
    bool relocking_ = false;  // the lock was asked for and not (yet) had
};

}  // namespace ahrs::py
