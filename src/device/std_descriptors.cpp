#include "std_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ahrs {

int above_standard_descriptors(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

}  // namespace ahrs
