#include "unlocked.hpp"

namespace ahrs::py {

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() { PyEval_RestoreThread(state_); }

bool Unlocked::handler_raised(void* self) {
    auto* u = static_cast<Unlocked*>(self);
    PyEval_RestoreThread(u->state_);
    const bool raised = PyErr_CheckSignals() != 0;
    u->state_ = PyEval_SaveThread();
    return raised;
}

ScanHook Unlocked::hook(PyObject* progress) {
    return [this, progress](std::uint64_t consumed) {
        PyEval_RestoreThread(state_);
        bool go_on = PyErr_CheckSignals() == 0;
        if (go_on && progress != Py_None) {
            PyRef r = PyRef::steal(PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(consumed)));
            go_on = static_cast<bool>(r);
        }
        state_ = PyEval_SaveThread();
        return go_on;
    };
}

}  // namespace ahrs::py
