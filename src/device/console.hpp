#pragma once
// Diagnostics go straight to the process's own descriptors 1 and 2, whole
// lines at a time, bypassing any buffering of the host interpreter.
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

}  // namespace ahrs
