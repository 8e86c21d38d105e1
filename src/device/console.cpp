#include "console.hpp"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

LineBlocks::LineBlocks(Stream s, std::size_t room, const Interrupts& interrupts)
    : stream_(s), interrupts_(interrupts), text_(new char[PIPE_BUF + room]) {}

Status<Panic> LineBlocks::done(const char* end) {
    const std::size_t line_end = static_cast<std::size_t>(end - text_.get());
    if (line_end <= PIPE_BUF) {
        held_ = line_end;
        return Unit{};
    }
    if (held_ > 0) {  // the block is full without the new line, which starts the next
        if (auto r = print(stream_, {text_.get(), held_}, interrupts_); !r) return r;
        std::memmove(text_.get(), text_.get() + held_, line_end - held_);
    }
    held_ = line_end - held_;
    return held_ > PIPE_BUF ? flush() : Status<Panic>(Unit{});  // a line longer than a block goes alone
}

Status<Panic> LineBlocks::flush() {
    const std::size_t n = held_;
    held_ = 0;
    return n ? print(stream_, {text_.get(), n}, interrupts_) : Status<Panic>(Unit{});
}

}  // namespace ahrs
