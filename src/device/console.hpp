#pragma once
// Diagnostics go straight to the process's own descriptors 1 and 2, whole
// lines at a time, bypassing any buffering of the host interpreter.
#include <string_view>

#include "../protocol/io_error.hpp"
#include "../protocol/result.hpp"
#include "cancel.hpp"
#include "panic.hpp"

namespace ahrs {

enum class Stream : int { Out = 1, Err = 2 };

// Writes all of `text` to the descriptor, retrying interrupted and short
// writes and waiting for room when the descriptor is non-blocking and full.
Status<IoError> write_text(Stream s, std::string_view text);
// The same, but a failure becomes the internal failure it is.
Status<Panic> print(Stream s, std::string_view text);

// While one lives, the calling thread's writes wait for room before each
// write, together with `token`: a standard error that nobody reads cannot
// hold the thread past its cancellation. What is left of a line when the
// token is cancelled is dropped, and the write counts as done.
class CancellableWrites {
public:
    explicit CancellableWrites(const CancelToken& token);
    ~CancellableWrites();
    CancellableWrites(const CancellableWrites&) = delete;
    CancellableWrites& operator=(const CancellableWrites&) = delete;

private:
    const CancelToken* outer_;
};

}  // namespace ahrs
