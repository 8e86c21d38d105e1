#pragma once
// One bounded wait on a descriptor that another thread can cut short.
#include <chrono>

#include "../protocol/io_error.hpp"
#include "../protocol/result.hpp"

namespace ahrs {

using Deadline = std::chrono::steady_clock::time_point;

struct Readiness {
    enum class Wake : unsigned char { Ready, TimedOut, Cancelled };
    Wake wake;
    short revents;  // of the device descriptor, when Ready
};

// Polls `fd` for `events` and `cancel_fd` (ignored when negative) for
// readability until `deadline`. A cancellation wins over a ready device;
// interrupted polls are resumed with the time that is left.
Result<Readiness, IoError> wait_ready(int fd, short events, int cancel_fd, Deadline deadline);

}  // namespace ahrs
