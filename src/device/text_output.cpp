#include "text_output.hpp"

#include <unistd.h>

#include <cerrno>

namespace ahrs {

Result<TextOutput, IoError> TextOutput::create(std::string_view path) {
    auto fd = FileHandle::create(path);
    if (!fd) return err(std::move(fd).error());
    const int raw = fd->get();
    return TextOutput(std::move(*fd), raw);
}

Status<IoError> TextOutput::flush() {
    std::size_t done = 0;
    while (done < size_) {
        const ssize_t n = ::write(fd_, buf_.get() + done, size_ - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n == 0) return err(IoError::write_zero());
        else if (errno != EINTR) return err(IoError::last_os());
    }
    size_ = 0;
    return Unit{};
}

}  // namespace ahrs
