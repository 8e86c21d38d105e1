#pragma once
// What may end a blocking call before its data or its deadline come: a
// signal whose handler asks the call to give up, and another thread's
// cancellation. Both are handed down with each call, from whoever makes it
// to the wait itself; nothing is kept per thread, so the modules built on
// this layer need no thread-local storage.
#include "../protocol/errors.hpp"
#include "cancel.hpp"

namespace ahrs {

// Whether a call cut short by a signal should give up. The device layer
// knows nothing of the host interpreter, which runs the signal's handlers:
// the host gives a check that asks it. With none (the reader thread, the
// native tests) an interrupted call is simply resumed.
class InterruptCheck {
public:
    using Fn = bool (*)(void* context);
    constexpr InterruptCheck() = default;
    constexpr explicit InterruptCheck(Fn fn, void* context = nullptr) : fn_(fn), context_(context) {}

    // Asked after every EINTR: true means stop, with interrupted() as the error.
    bool requested() const { return fn_ && fn_(context_); }

private:
    Fn fn_ = nullptr;
    void* context_ = nullptr;
};

// Everything that may end the waits of one call early.
struct Interrupts {
    InterruptCheck signals;
    // Polled beside the descriptor a wait is on; null when nothing cancels.
    const CancelToken* cancel = nullptr;

    bool cancelled() const { return cancel && cancel->cancelled(); }
    int cancel_fd() const { return cancel ? cancel->fd() : -1; }
};

// Not of kind Interrupted, which readers retry by themselves.
IoError interrupted();
bool is_interruption(const IoError& e);

}  // namespace ahrs
