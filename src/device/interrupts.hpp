#pragma once
// What may end a blocking call before its data or its deadline come: a
// signal whose handler asks the call to give up, and another thread's
// cancellation; and the one bounded wait that gives way to both. Both are
// handed down with each call, from whoever makes it to the wait itself;
// nothing is kept per thread, so the modules built on this layer need no
// thread-local storage.
#include <atomic>
#include <chrono>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"

namespace ahrs {

// Lets another thread interrupt a port's waits at once, instead of after a
// read time-out: the port polls the token's descriptor beside the device.
class CancelToken {
public:
    CancelToken();  // creates an eventfd; falls back to no-op waits on failure
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void cancel();            // thread-safe, idempotent
    bool cancelled() const;   // thread-safe
    int fd() const { return fd_; }  // readable once cancelled; -1 if unavailable

private:
    int fd_;
    // Keeps the answer of cancelled() right even when no eventfd could be made.
    std::atomic<bool> cancelled_{false};
};

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

// One bounded wait on a descriptor that another thread can cut short.
using Deadline = std::chrono::steady_clock::time_point;

// Polls `fd` for `events`, and the cancellation's descriptor for
// readability, until `deadline`, and gives the device's revents. A wait that
// ends without readiness is an error: wait_timed_out() or wait_cancelled().
// A cancellation wins over a ready device, and a token without a descriptor
// is looked at before the wait; interrupted polls are resumed with the time
// that is left, unless the interrupt check says to give up (then the error
// is interrupted()).
Result<short, IoError> wait_ready(int fd, short events, Deadline deadline, const Interrupts& interrupts);
// Waits, however long it takes, until `fd` can take output (or shows the
// state its next write will report), or until the wait is cancelled:
// wait_cancelled(); an interruption or a failed poll is its error.
Status<IoError> wait_writable(int fd, const Interrupts& interrupts);
// Waits until `deadline` doing nothing; only an interruption cuts it short
// with an error, a cancellation only ends it early.
Status<IoError> sleep_until(Deadline deadline, const Interrupts& interrupts);

IoError wait_timed_out();
IoError wait_cancelled();
// Whether an error is the one a cancelled wait gives, and nothing else.
bool is_cancellation(const IoError& e);

}  // namespace ahrs
