#include "interrupts.hpp"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "files.hpp"

namespace ahrs {

IoError interrupted() { return IoError::custom(IoKind::Other, "Operation interrupted by a signal"); }

bool is_interruption(const IoError& e) {
    const IoError i = interrupted();
    return e.shape() == i.shape() && e.kind() == i.kind() && e.text() == i.text();
}

CancelToken::CancelToken() : fd_(above_standard_descriptors(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))) {}

CancelToken::~CancelToken() {
    if (fd_ >= 0) ::close(fd_);
}

void CancelToken::cancel() {
    cancelled_.store(true, std::memory_order_release);
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    // The counter only ever needs to be non-zero; a full counter (EAGAIN)
    // already is, so the result can be ignored.
    [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
}

bool CancelToken::cancelled() const { return cancelled_.load(std::memory_order_acquire); }

namespace {

// Rounds up, so a wait never ends a little before its deadline.
int remaining_ms(Deadline deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= Deadline::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

IoError wait_timed_out() { return IoError::custom(IoKind::TimedOut, "Operation timed out"); }
IoError wait_cancelled() { return IoError::custom(IoKind::Other, "Operation cancelled"); }

bool is_cancellation(const IoError& e) {
    const IoError c = wait_cancelled();
    return e.shape() == c.shape() && e.kind() == c.kind() && e.text() == c.text();
}

// A token without a descriptor is looked at between slices of the wait.
constexpr std::chrono::milliseconds kWritableSlice{100};

Status<IoError> wait_writable(int fd, const Interrupts& interrupts) {
    for (;;) {
        auto r = wait_ready(fd, POLLOUT, std::chrono::steady_clock::now() + kWritableSlice, interrupts);
        if (r) return Unit{};
        if (r.error().kind() != IoKind::TimedOut) return err(std::move(r).error());
    }
}

Status<IoError> sleep_until(Deadline deadline, const Interrupts& interrupts) {
    auto r = wait_ready(-1, 0, deadline, interrupts);
    if (!r && is_interruption(r.error())) return err(std::move(r).error());
    return Unit{};
}

Result<short, IoError> wait_ready(int fd, short events, Deadline deadline, const Interrupts& interrupts) {
    if (interrupts.cancelled()) return err(wait_cancelled());
    const int cancel_fd = interrupts.cancel_fd();
    pollfd fds[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
    const nfds_t count = cancel_fd >= 0 ? 2 : 1;
    for (;;) {
        const int n = ::poll(fds, count, remaining_ms(deadline));
        if (n < 0) {
            if (errno != EINTR) return err(IoError::last_os());
            if (interrupts.signals.requested()) return err(interrupted());
            continue;
        }
        if (count == 2 && fds[1].revents != 0) return err(wait_cancelled());
        if (n == 0) return err(wait_timed_out());
        return fds[0].revents;
    }
}

}  // namespace ahrs
