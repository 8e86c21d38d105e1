#include "recorder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "../device/std_descriptors.hpp"

namespace ahrs {

Result<std::unique_ptr<Recorder>, IoError> Recorder::open(const std::string& path) {
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    fd = above_standard_descriptors(fd);
    if (fd < 0) return err(IoError::last_os());
    return std::unique_ptr<Recorder>(new Recorder(fd));
}

Recorder::~Recorder() { ::close(fd_); }

void Recorder::fail(const IoError& e) {
    std::lock_guard lock(mu_);
    error_ = "recording stopped: " + e.text();
    failed_.store(true, std::memory_order_release);
}

std::size_t Recorder::write(std::span<const std::uint8_t> bytes) {
    if (failed_.load(std::memory_order_acquire)) return 0;
    const std::size_t total = bytes.size();
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            fail(n == 0 ? IoError::write_zero() : IoError::last_os());
            return total - bytes.size();
        }
    }
    return total;
}

std::optional<std::string> Recorder::error() {
    if (!failed_.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(mu_);
    return error_;
}

}  // namespace ahrs
