#include "unlocked.hpp"

namespace ahrs::py {

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
