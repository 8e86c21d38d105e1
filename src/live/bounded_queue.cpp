#include "bounded_queue.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include "../device/files.hpp"

namespace ahrs::queue_signal {

int open() { return above_standard_descriptors(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)); }

// The counter only needs to be non-zero; a full one (EAGAIN) already is.
void raise(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
}

void lower(int fd) {
    if (fd < 0) return;
    std::uint64_t count;
    [[maybe_unused]] auto n = ::read(fd, &count, sizeof count);
}

void close(int fd) { ::close(fd); }

}  // namespace ahrs::queue_signal
