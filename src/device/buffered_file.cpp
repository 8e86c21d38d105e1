#include "buffered_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ahrs {

Result<BufferedFile, IoError> BufferedFile::open(std::string_view path, InterruptCheck interrupt) {
    auto fd = FileHandle::open_read_only(path, interrupt);
    if (!fd) return err(std::move(fd).error());
    return BufferedFile(std::move(fd).value(), interrupt);
}

Result<std::size_t, IoError> BufferedFile::read(std::span<std::uint8_t> dst) {
    if (next_ == filled_) {
        ssize_t n;
        while ((n = ::read(fd_.get(), buf_.data(), buf_.size())) < 0 && errno == EINTR)
            if (interrupt_.requested()) return err(interrupted());
        if (n < 0) return err(IoError::last_os());
        offset_ += static_cast<std::uint64_t>(n);
        next_ = 0;
        filled_ = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(dst.size(), filled_ - next_);
    std::memcpy(dst.data(), buf_.data() + next_, n);
    next_ += n;
    return n;
}

Status<IoError> BufferedFile::seek(std::uint64_t pos) {
    const off_t at = ::lseek(fd_.get(), static_cast<off_t>(pos), SEEK_SET);
    if (at < 0) return err(IoError::last_os());
    offset_ = static_cast<std::uint64_t>(at);
    next_ = filled_ = 0;
    return Unit{};
}

}  // namespace ahrs
