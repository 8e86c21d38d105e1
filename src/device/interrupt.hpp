#pragma once
// Whether a blocking call cut short by a signal should give up. The device
// layer knows nothing of the host interpreter, which runs the signal's
// handler: the host installs a check for the duration of each call it makes
// on this thread. With no check installed (the reader thread, the native
// tests) an interrupted call is simply resumed.
#include "../protocol/io_error.hpp"

namespace ahrs {

// Returns true when the call must be abandoned (a handler raised).
using InterruptCheck = bool (*)();

// Installs `check` on this thread until the scope ends.
class InterruptScope {
public:
    explicit InterruptScope(InterruptCheck check);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptCheck previous_;
};

// Asked after every EINTR: true means stop, with interrupted() as the error.
bool interrupt_requested();

// Not of kind Interrupted, which readers retry by themselves.
IoError interrupted();
bool is_interruption(const IoError& e);

}  // namespace ahrs
