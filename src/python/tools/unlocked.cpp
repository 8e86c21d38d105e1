#include "unlocked.hpp"

namespace ahrs::py {

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() noexcept(false) {
    // Unwound out of relock(): the thread is ending without the lock.
    if (!relocking_) relock();
}

void Unlocked::relock() {
    relocking_ = true;
    PyEval_RestoreThread(state_);
}

bool Unlocked::handler_raised(void* self) {
    auto& u = *static_cast<Unlocked*>(self);
    u.relock();
    const bool raised = PyErr_CheckSignals() != 0;
    u.unlock();
    return raised;
}

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
