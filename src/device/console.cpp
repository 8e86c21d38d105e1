#include "console.hpp"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "interrupt.hpp"

namespace ahrs {
namespace {

// In the static TLS block: the leak checker's scan of a thread's dynamic TLS
// crashes when threads of this library are still running at exit.
[[gnu::tls_model("initial-exec")]] thread_local const CancelToken* t_cancel = nullptr;

// How long one wait for room lasts before the token is looked at again; it
// bounds the delay only for a token that has no descriptor to poll.
constexpr int kWaitSliceMs = 100;

enum class Room { Ready, Cancelled, Interrupted, Failed };

// Waits until `fd` can take output (or reports a state that the write will
// turn into its error), or until this thread's token is cancelled.
Room wait_for_room(int fd) {
    const CancelToken* c = t_cancel;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {c ? c->fd() : -1, POLLIN, 0}};
    const nfds_t count = c && c->fd() >= 0 ? 2 : 1;
    for (;;) {
        if (c && c->cancelled()) return Room::Cancelled;
        const int n = ::poll(fds, count, kWaitSliceMs);
        if (n < 0 && errno != EINTR) return Room::Failed;
        if (n < 0 && interrupt_requested()) return Room::Interrupted;
        if (n <= 0) continue;
        if (count == 2 && fds[1].revents != 0) return Room::Cancelled;
        return Room::Ready;
    }
}

}  // namespace

CancellableWrites::CancellableWrites(const CancelToken& token) : outer_(std::exchange(t_cancel, &token)) {}
CancellableWrites::~CancellableWrites() { t_cancel = outer_; }

Status<IoError> write_text(Stream s, std::string_view text) {
    const int fd = static_cast<int>(s);
    // Once room is reported, a write of at most PIPE_BUF bytes goes into a
    // pipe without blocking.
    const bool cancellable = t_cancel != nullptr;
    const std::size_t most = cancellable ? PIPE_BUF : text.size();
    bool wait = cancellable;
    while (!text.empty()) {
        if (wait) {
            const Room room = wait_for_room(fd);
            if (room == Room::Cancelled) return Unit{};
            if (room == Room::Interrupted) return err(interrupted());
            if (room == Room::Failed) return err(IoError::last_os());
        }
        const ssize_t n = ::write(fd, text.data(), std::min(text.size(), most));
        if (n < 0) {
            if (errno == EINTR) {
                if (interrupt_requested()) return err(interrupted());
                continue;
            }
            if (errno != EAGAIN) return err(IoError::last_os());
            wait = true;
            continue;
        }
        if (n == 0) return err(IoError::write_zero());
        text.remove_prefix(static_cast<std::size_t>(n));
        wait = cancellable;
    }
    return Unit{};
}

Status<Panic> print(Stream s, std::string_view text) {
    auto r = write_text(s, text);
    if (r) return Unit{};
    return err(Panic{std::string("failed printing to ") + (s == Stream::Out ? "stdout" : "stderr") + ": " +
                         r.error().debug(),
                     is_interruption(r.error())});
}

}  // namespace ahrs
