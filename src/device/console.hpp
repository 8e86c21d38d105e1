#pragma once
// Diagnostics go straight to the process's own descriptors 1 and 2, whole
// lines at a time, bypassing any buffering of the host interpreter.
#include <string_view>

#include "../protocol/io_error.hpp"
#include "../protocol/result.hpp"
#include "panic.hpp"

namespace ahrs {

enum class Stream : int { Out = 1, Err = 2 };

// Writes all of `text` to the descriptor, retrying interrupted and short writes.
Status<IoError> write_text(Stream s, std::string_view text);
// The same, but a failure becomes the internal failure it is.
Status<Panic> print(Stream s, std::string_view text);

}  // namespace ahrs
