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

// A line laid out in place and printed whole, with one write, as it ends:
// for output of many lines in a row, where each line must be out before the
// next is made (nothing held back for a process that dies abruptly), and a
// pipe takes a line of up to PIPE_BUF bytes whole, so another writer's text
// never lands inside it.
class LineBuffer {
public:
    // `room`: the most a line (with what its writer may use past its end)
    // needs at start().
    LineBuffer(Stream s, std::size_t room, const Interrupts& interrupts);
    // Where each line goes.
    char* start() { return text_.get(); }
    // Prints the line laid out at start(), which ends at `end`.
    Status<Panic> print(const char* end);

private:
    Stream stream_;
    Interrupts interrupts_;
    std::unique_ptr<char[]> text_;
};

}  // namespace ahrs
