#pragma once
// Lets a signal whose Python handler raises (Ctrl-C) end a blocking call:
// every call of this module hands kSignals to whatever may block on its
// behalf, and a wait, open or read cut short by a signal then runs the
// pending handlers and gives up if one raised. The interpreter lock is held
// throughout, as in every call of this module.
#include "device/interrupts.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

// True when a pending signal's handler raised; its exception is then set.
inline bool signal_handler_raised() { return PyErr_CheckSignals() != 0; }

inline constexpr InterruptCheck kSignals{[](void*) { return signal_handler_raised(); }};

}  // namespace ahrs::py
