#include "cancel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "std_descriptors.hpp"

namespace ahrs {

CancelToken::CancelToken() : fd_(above_standard_descriptors(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))) {}

CancelToken::~CancelToken() {
    if (fd_ >= 0) ::close(fd_);
}

void CancelToken::cancel() {
    cancelled_.store(true, std::memory_order_release);
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    // The counter only ever needs to be non-zero; a full counter (EAGAIN)
    // already is, so the result can be ignored.
    [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
}

bool CancelToken::cancelled() const { return cancelled_.load(std::memory_order_acquire); }

}  // namespace ahrs
