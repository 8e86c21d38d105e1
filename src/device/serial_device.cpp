#include "serial_device.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "fork_guard.hpp"
#include "line_settings.hpp"

namespace ahrs {
namespace {

SerialError busy() { return SerialError::from_errno(EBUSY); }

SerialError from_setup_errno(int e) {
    if (e == ENOTTY) return SerialError(SerialError::Kind::NoDevice, "Not a serial device: " + os_error_description(e));
    return SerialError::from_errno(e);
}

Deadline deadline() { return std::chrono::steady_clock::now() + kSerialTimeout; }

// Readable or writable with nothing to move, or flagged as hung up: the far
// end is gone. Reported as the error a pty gives for a closed master.
IoError hang_up() { return IoError::os(EIO); }

// What a read or write that failed with errno ends in, or nothing to go on.
std::optional<IoError> after_failed_call(const Interrupts& interrupts) {
    if (errno == EAGAIN) return std::nullopt;
    if (errno != EINTR) return IoError::last_os();
    if (interrupts.signals.requested()) return interrupted();
    return std::nullopt;
}

}  // namespace

Result<std::unique_ptr<SerialDevice>, SerialError> SerialDevice::open(std::string_view path, std::uint32_t baud) {
    if (path.find('\0') != std::string_view::npos)
        return err(SerialError(SerialError::Kind::InvalidInput, "file name contained an unexpected NUL byte"));
    const std::string name(path);
    const int fd = open_parent_only(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return err(SerialError::from_errno(errno));
    std::unique_ptr<SerialDevice> dev;
    try {
        dev.reset(new SerialDevice(fd));
    } catch (...) {
        ::close(fd);
        throw;
    }

    if (auto r = dev->take_exclusive(); !r) return err(std::move(r).error());
    if (auto r = apply_line_settings(fd, baud); !r) return err(std::move(r).error());
    if (baud != 0 && ::tcflush(fd, TCIOFLUSH) != 0) return err(SerialError::from_errno(errno));
    return dev;
}

// The terminal's exclusive mode turns away later opens except by a
// privileged user; the lock turns away everyone, root included.
Status<SerialError> SerialDevice::take_exclusive() {
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return err(errno == EWOULDBLOCK ? busy() : from_setup_errno(errno));
    if (::ioctl(fd_, TIOCEXCL) != 0) return err(from_setup_errno(errno));
    exclusive_ = true;
    return Unit{};
}

SerialDevice::~SerialDevice() {
    // The exclusive mode belongs to the terminal, not to this descriptor,
    // and would outlive it on a pty whose other end stays open.
    if (exclusive_) ::ioctl(fd_, TIOCNXCL);
    // The lock is the open file's: a child forked a moment ago may still
    // share it until it lets go of its copy, so it is released here.
    ::flock(fd_, LOCK_UN);
    close_parent_only(fd_);
}

Result<std::size_t, IoError> SerialDevice::read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) {
    return read_some(dst, interrupts, deadline());
}

Result<std::size_t, IoError> SerialDevice::read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts,
                                                     Deadline until) {
    for (;;) {
        auto revents = wait_ready(fd_, POLLIN, until, interrupts);
        if (!revents) return err(std::move(revents).error());
        if (!(*revents & POLLIN)) return err(hang_up());
        const ssize_t n = ::read(fd_, dst.data(), dst.size());
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0) return err(hang_up());
        if (auto e = after_failed_call(interrupts); e) return err(std::move(*e));
    }
}

Result<std::size_t, IoError> SerialDevice::write(std::span<const std::uint8_t> src, const Interrupts& interrupts) {
    const Deadline until = deadline();
    for (;;) {
        if (auto ready = wait_ready(fd_, POLLOUT, until, interrupts); !ready) return err(std::move(ready).error());
        const ssize_t n = ::write(fd_, src.data(), src.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (auto e = after_failed_call(interrupts); e) return err(std::move(*e));
    }
}

}  // namespace ahrs
