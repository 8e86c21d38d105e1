#pragma once
// An owned file descriptor, closed when dropped.
#include <string_view>
#include <utility>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"
#include "interrupts.hpp"

namespace ahrs {

class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& o) noexcept;
    ~FileHandle();
    int get() const { return fd_; }

    // An open may wait (a FIFO with no one at the other end) until a signal's
    // handler says to give up.
    // Opens an existing file for reading only; it is never created or changed.
    static Result<FileHandle, IoError> open_read_only(std::string_view path, InterruptCheck interrupt);
    // Creates the file, or empties an existing one, for writing.
    static Result<FileHandle, IoError> create(std::string_view path, InterruptCheck interrupt);
    // Creates the file, or opens an existing one for writing, as it is:
    // emptying it is left to the caller.
    static Result<FileHandle, IoError> open_for_writing(std::string_view path, InterruptCheck interrupt);

private:
    int fd_ = -1;
};

}  // namespace ahrs
