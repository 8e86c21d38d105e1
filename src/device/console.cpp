#include "console.hpp"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "interrupt.hpp"
#include "wait_ready.hpp"

namespace ahrs {
namespace {

// In the static TLS block: the leak checker's scan of a thread's dynamic TLS
// crashes when threads of this library are still running at exit.
[[gnu::tls_model("initial-exec")]] thread_local const CancelToken* t_cancel = nullptr;

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
            if (auto room = wait_writable(fd, t_cancel); !room) {
                if (is_cancellation(room.error())) return Unit{};  // the line is dropped
                return err(std::move(room).error());
            }
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
