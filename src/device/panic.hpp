#pragma once
#include <string>

namespace ahrs {

// An internal failure: the operation cannot go on (a write to the device
// failed while configuring it, or printing a diagnostic failed). The Python
// layer raises it as PanicException.
struct Panic {
    std::string message;
    // Not a failure at all: a write that waited was cut short because a
    // signal's handler raised, and that exception is what the caller gets.
    bool interrupted = false;
};

}  // namespace ahrs
