#include "waiting_output.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace ahrs {

WaitingOutput::~WaitingOutput() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<IoError> WaitingOutput::put(std::span<const std::uint8_t> bytes) {
    if (fd_ < 0) return std::nullopt;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return flush();
}

std::optional<IoError> WaitingOutput::flush() {
    while (waiting() > 0) {
        const ssize_t n = ::write(fd_, buffer_.data() + head_, waiting());
        if (n > 0) {
            head_ += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return IoError::write_zero();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            return IoError::last_os();
        }
    }
    // Moved down only once the written part outweighs the rest, so a writer
    // that keeps a little waiting does not copy it on every call.
    if (head_ == buffer_.size()) {
        buffer_.clear();
        head_ = 0;
    } else if (head_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    return std::nullopt;
}

std::optional<IoError> WaitingOutput::drain(int idle_ms, bool& complete) {
    for (;;) {
        if (auto e = flush()) return e;
        if (waiting() == 0) break;
        pollfd p{fd_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, idle_ms);
        if (ready == 0) break;
        if (ready < 0 && errno != EINTR) return IoError::last_os();
    }
    complete = waiting() == 0;
    return std::nullopt;
}

}  // namespace ahrs
