#pragma once
// Diagnostics go straight to the process's own descriptors 1 and 2, whole
// lines at a time, bypassing any buffering of the host interpreter.
#include <cstddef>
#include <memory>
#include <string_view>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"
#include "interrupts.hpp"
#include "errors.hpp"

namespace ahrs {

enum class Stream : int { Out = 1, Err = 2 };

// Writes all of `text` to the descriptor, retrying short writes and
// waiting for room when the descriptor is non-blocking and full; a write
// that a signal cuts short gives up when the interrupt check says so. When
// the call can be cancelled, each write waits for room first, together with
// the cancellation: a standard error that nobody reads cannot hold the
// thread past it. What is left of a line then is dropped, and the write
// counts as done.
Status<IoError> write_text(Stream s, std::string_view text, const Interrupts& interrupts);
// The same, but a failure becomes the internal failure it is.
Status<Panic> print(Stream s, std::string_view text, const Interrupts& interrupts);

// Whole lines laid out in place and printed a block at a time, for output
// of many lines in a row: one write carries many lines. A block holds at
// most PIPE_BUF bytes (or one longer line alone), so a pipe takes each block
// whole and another writer's text never lands inside a line. What is held
// goes out at flush(); the owner flushes before anything else may look at
// the output or write to it.
class LineBlocks {
public:
    // `room`: the most a line (with what its writer may use past its end)
    // needs at next().
    LineBlocks(Stream s, std::size_t room, const Interrupts& interrupts);
    // Where the next line goes.
    char* next() { return text_.get() + held_; }
    // The line laid out at next() ends at `end`.
    Status<Panic> done(const char* end);
    Status<Panic> flush();

private:
    Stream stream_;
    Interrupts interrupts_;
    std::unique_ptr<char[]> text_;
    std::size_t held_ = 0;  // whole lines not printed yet
};

}  // namespace ahrs
