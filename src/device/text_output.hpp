#pragma once
// Text written in large blocks to a file or to standard output. Callers lay
// their text out at end(), up to kRoom bytes of it, move on with
// advance_to(), and call flush_if_full() now and then.
#include <algorithm>
#include <memory>
#include <string_view>

#include "file_handle.hpp"

namespace ahrs {

class TextOutput {
public:
    static constexpr std::size_t kBlock = 1 << 16;
    // Free at end() after flush_if_full() or flush().
    static constexpr std::size_t kRoom = 1 << 16;

    static Result<TextOutput, IoError> create(std::string_view path);
    static TextOutput standard_output() { return TextOutput(FileHandle(), 1); }

    char* end() { return buf_.get() + size_; }
    void advance_to(char* end) { size_ = static_cast<std::size_t>(end - buf_.get()); }
    // Up to kRoom bytes.
    void append(std::string_view text) { advance_to(std::copy(text.begin(), text.end(), end())); }

    Status<IoError> flush_if_full() { return size_ < kBlock ? Status<IoError>(Unit{}) : flush(); }
    Status<IoError> flush();

private:
    TextOutput(FileHandle owned, int fd) : owned_(std::move(owned)), fd_(fd), buf_(new char[kBlock + kRoom]) {}
    FileHandle owned_;
    int fd_;
    std::unique_ptr<char[]> buf_;
    std::size_t size_ = 0;
};

}  // namespace ahrs
