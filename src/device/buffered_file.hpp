#pragma once
// A file read through a fixed 8192-byte buffer, as a ByteSource that reports
// true byte offsets (the file's offset less what is still unread in the
// buffer) and can move back to an earlier offset. It serves one call of the
// host: the open and every read give way to that call's interrupt check.
#include <array>
#include <string_view>

#include "../protocol/byte_stream.hpp"
#include "files.hpp"

namespace ahrs {

class BufferedFile final : public ByteSource {
public:
    static Result<BufferedFile, IoError> open(std::string_view path, InterruptCheck interrupt = {});

    Result<std::size_t, IoError> read(std::span<std::uint8_t> dst) override;
    Result<std::uint64_t, IoError> position() override { return offset_ - (filled_ - next_); }
    Status<IoError> seek(std::uint64_t pos) override;

    // The bytes read from the file but not yet taken, for framing in place;
    // take() moves past some of them as read() would have.
    std::span<const std::uint8_t> unread() const { return {buf_.data() + next_, filled_ - next_}; }
    void take(std::size_t n) { next_ += n; }

private:
    BufferedFile(FileHandle fd, InterruptCheck interrupt) : fd_(std::move(fd)), interrupt_(interrupt) {}
    FileHandle fd_;
    InterruptCheck interrupt_;
    std::uint64_t offset_ = 0;  // the file's own offset
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
    std::array<std::uint8_t, 8192> buf_{};
};

}  // namespace ahrs
