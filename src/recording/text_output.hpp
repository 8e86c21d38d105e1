#pragma once
// Text written in large blocks to a file or to standard output. Callers lay
// their text out at end(), up to kRoom bytes of it, move on with
// advance_to(), and call flush_if_full() now and then. A full block goes to
// a writer thread while the next one fills.
#include <algorithm>
#include <memory>
#include <string_view>

#include "block_writer.hpp"
#include "../device/files.hpp"

namespace ahrs {

class TextOutput {
public:
    static constexpr std::size_t kBlock = 1 << 20;
    // Free at end() after flush_if_full() or flush().
    static constexpr std::size_t kRoom = 1 << 16;

    // Creates the file, or (through the writer) empties an existing one.
    // The open and the waits for the writer give way to `interrupt`.
    static Result<TextOutput, IoError> create(std::string_view path, InterruptCheck interrupt);
    static Result<TextOutput, IoError> standard_output(InterruptCheck interrupt);

    char* end() { return front_.get() + size_; }
    void advance_to(char* end) { size_ = static_cast<std::size_t>(end - front_.get()); }
    // Up to kRoom bytes.
    void append(std::string_view text) { advance_to(std::copy(text.begin(), text.end(), end())); }

    // A failure shows one block late, or at flush().
    Status<IoError> flush_if_full() { return size_ < kBlock ? Status<IoError>(Unit{}) : hand_over(); }
    // Everything written.
    Status<IoError> flush();

private:
    TextOutput(FileHandle owned, int fd, bool empty_first, InterruptCheck interrupt);
    // `out`, when its writer could start.
    static Result<TextOutput, IoError> started(TextOutput out);
    Status<IoError> hand_over();

    FileHandle owned_;
    std::unique_ptr<char[]> front_;  // filling
    std::unique_ptr<char[]> back_;   // being written
    std::size_t size_ = 0;
    std::unique_ptr<BlockWriter> writer_;  // last: it goes first, while the rest stands
};

}  // namespace ahrs
