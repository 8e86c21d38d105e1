#include "unlocked.hpp"

#include <utility>

namespace ahrs::py {
namespace {

// In the static TLS block: the leak checker's scan of a thread's dynamic TLS
// crashes when threads of this library are still running at exit.
[[gnu::tls_model("initial-exec")]] thread_local Unlocked* t_unlocked = nullptr;

}  // namespace

Unlocked::Unlocked() : state_(PyEval_SaveThread()), outer_(std::exchange(t_unlocked, this)) {}

Unlocked::~Unlocked() noexcept(false) {
    t_unlocked = outer_;
    // Unwound out of relock(): the thread is ending without the lock.
    if (!relocking_) relock();
}

void Unlocked::relock() {
    relocking_ = true;
    PyEval_RestoreThread(state_);
}

bool Unlocked::handler_raised() {
    relock();
    const bool raised = PyErr_CheckSignals() != 0;
    unlock();
    return raised;
}

bool Unlocked::handler_raised_on_this_thread() { return t_unlocked && t_unlocked->handler_raised(); }

ScanHook Unlocked::hook(PyObject* progress) {
    return [this, progress](std::uint64_t consumed) {
        relock();
        bool go_on = PyErr_CheckSignals() == 0;
        if (go_on && progress != Py_None) {
            PyRef r = PyRef::steal(PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(consumed)));
            go_on = static_cast<bool>(r);
        }
        unlock();
        return go_on;
    };
}

}  // namespace ahrs::py
