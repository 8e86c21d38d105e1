#pragma once
// Text written in large blocks to a file or to standard output: callers
// append to buffer() and call flush_if_full() now and then.
#include <string>
#include <string_view>

#include "file_handle.hpp"

namespace ahrs {

class TextOutput {
public:
    static Result<TextOutput, IoError> create(std::string_view path);
    static TextOutput standard_output() { return TextOutput(FileHandle(), 1); }

    std::string& buffer() { return buf_; }
    Status<IoError> flush_if_full() { return buf_.size() < kBlock ? Status<IoError>(Unit{}) : flush(); }
    Status<IoError> flush();

private:
    static constexpr std::size_t kBlock = 1 << 16;
    TextOutput(FileHandle owned, int fd) : owned_(std::move(owned)), fd_(fd) { buf_.reserve(2 * kBlock); }
    FileHandle owned_;
    int fd_;
    std::string buf_;
};

}  // namespace ahrs
