#include "files.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace ahrs {

int above_standard_descriptors(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

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

Result<std::unique_ptr<FileSource>, IoError> FileSource::open(std::string_view path, InterruptCheck interrupt) {
    auto fd = FileHandle::open_read_only(path, interrupt);
    if (!fd) return err(std::move(fd).error());
    return std::unique_ptr<FileSource>(new FileSource(std::move(fd).value()));
}

Result<std::size_t, IoError> FileSource::read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) {
    for (;;) {
        const ssize_t n = ::read(fd_.get(), dst.data(), dst.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return err(IoError::last_os());
        if (interrupts.signals.requested()) return err(interrupted());
    }
}

}  // namespace ahrs
