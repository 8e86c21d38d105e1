#include "file_handle.hpp"

#include <fcntl.h>
#include <unistd.h>

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

Result<FileHandle, IoError> FileHandle::open_read_only(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return err(IoError::fixed(IoKind::InvalidInput, "file name contained an unexpected NUL byte"));
    const std::string p(path);
    int fd;
    do fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    fd = above_standard_descriptors(fd);
    if (fd < 0) return err(IoError::last_os());
    return FileHandle(fd);
}

}  // namespace ahrs
