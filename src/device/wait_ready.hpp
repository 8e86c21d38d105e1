#pragma once
// One bounded wait on a descriptor that another thread can cut short.
#include <chrono>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"
#include "interrupt.hpp"

namespace ahrs {

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
