#include "file_handle.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "std_descriptors.hpp"

namespace ahrs {

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

Result<FileHandle, IoError> open_path(std::string_view path, int flags, InterruptCheck interrupt) {
    if (path.find('\0') != std::string_view::npos)
        return err(IoError::fixed(IoKind::InvalidInput, "file name contained an unexpected NUL byte"));
    const std::string p(path);
    int fd;
    // A FIFO with no writer blocks here until one comes.
    while ((fd = ::open(p.c_str(), flags | O_CLOEXEC, 0666)) < 0 && errno == EINTR)
        if (interrupt.requested()) return err(interrupted());
    fd = above_standard_descriptors(fd);
    if (fd < 0) return err(IoError::last_os());
    return FileHandle(fd);
}

}  // namespace

Result<FileHandle, IoError> FileHandle::open_read_only(std::string_view path, InterruptCheck interrupt) {
    return open_path(path, O_RDONLY, interrupt);
}

Result<FileHandle, IoError> FileHandle::create(std::string_view path, InterruptCheck interrupt) {
    return open_path(path, O_WRONLY | O_CREAT | O_TRUNC, interrupt);
}

Result<FileHandle, IoError> FileHandle::open_for_writing(std::string_view path, InterruptCheck interrupt) {
    return open_path(path, O_WRONLY | O_CREAT, interrupt);
}

}  // namespace ahrs
