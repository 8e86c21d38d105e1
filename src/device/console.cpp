#include "console.hpp"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "interrupts.hpp"

namespace ahrs {

Status<IoError> write_text(Stream s, std::string_view text, const Interrupts& interrupts) {
    const int fd = static_cast<int>(s);
    // Once room is reported, a write of at most PIPE_BUF bytes goes into a
    // pipe without blocking.
    const bool cancellable = interrupts.cancel != nullptr;
    const std::size_t most = cancellable ? PIPE_BUF : text.size();
    bool wait = cancellable;
    while (!text.empty()) {
        if (wait) {
            if (auto room = wait_writable(fd, interrupts); !room) {
                if (is_cancellation(room.error())) return Unit{};  // the line is dropped
                return err(std::move(room).error());
            }
        }
        const ssize_t n = ::write(fd, text.data(), std::min(text.size(), most));
        if (n < 0) {
            if (errno == EINTR) {
                if (interrupts.signals.requested()) return err(interrupted());
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

Status<Panic> print(Stream s, std::string_view text, const Interrupts& interrupts) {
    auto r = write_text(s, text, interrupts);
    if (r) return Unit{};
    return err(
        Panic{std::string("failed printing to ") + (s == Stream::Out ? "stdout" : "stderr") + ": " + r.error().debug(),
              is_interruption(r.error())});
}

LineBuffer::LineBuffer(Stream s, std::size_t room, const Interrupts& interrupts)
    : stream_(s), interrupts_(interrupts), text_(new char[room]) {}

Status<Panic> LineBuffer::print(const char* end) {
    return ahrs::print(stream_, {text_.get(), static_cast<std::size_t>(end - text_.get())}, interrupts_);
}

}  // namespace ahrs
