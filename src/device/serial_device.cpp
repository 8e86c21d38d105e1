#include "serial_device.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <span>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "../protocol/mip_packet.hpp"
#include "fork_guard.hpp"
#include "serial_device.hpp"

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

namespace {

// The flag bits this driver decides; the rest belong to the device.
constexpr tcflag_t kInputMask = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
constexpr tcflag_t kOutputMask = OPOST;
constexpr tcflag_t kLocalMask = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t kControlMask = CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL;

void make_raw(termios& t) {
    ::cfmakeraw(&t);
    t.c_iflag &= ~(IXOFF | IXANY);
    t.c_cflag &= ~(CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

bool same_settings(const termios& want, const termios& got) {
    return (want.c_iflag & kInputMask) == (got.c_iflag & kInputMask) &&
           (want.c_oflag & kOutputMask) == (got.c_oflag & kOutputMask) &&
           (want.c_lflag & kLocalMask) == (got.c_lflag & kLocalMask) &&
           (want.c_cflag & kControlMask) == (got.c_cflag & kControlMask) && want.c_cc[VMIN] == got.c_cc[VMIN] &&
           want.c_cc[VTIME] == got.c_cc[VTIME];
}

SerialError not_applied() { return SerialError(SerialError::Kind::Unknown, "Settings did not apply correctly"); }

}  // namespace

Status<SerialError> apply_line_settings(int fd, std::uint32_t baud) {
    termios want{};
    if (::tcgetattr(fd, &want) != 0) return err(SerialError::from_errno(errno));
    make_raw(want);
    if (::tcsetattr(fd, TCSANOW, &want) != 0) return err(SerialError::from_errno(errno));
    if (auto r = set_line_speed(fd, baud); !r) return err(SerialError::from_errno(r.error()));

    termios got{};
    if (::tcgetattr(fd, &got) != 0) return err(SerialError::from_errno(errno));
    auto speed = line_speed(fd);
    if (!speed) return err(SerialError::from_errno(speed.error()));
    if (!same_settings(want, got) || *speed != LineSpeed{baud, baud}) return err(not_applied());
    return Unit{};
}

namespace {

struct Command {
    Descriptor set;
    std::span<const std::uint8_t> payload;  // one field: length, descriptor, parameters
};

constexpr std::uint8_t kBase[] = {0x02, 0x02};
constexpr std::uint8_t k3dmFirst[] = {0x05, 0x11, 0x01, 0x01, 0x00};
constexpr std::uint8_t k3dmSecond[] = {0x05, 0x11, 0x01, 0x03, 0x00};

constexpr Command kSequence[] = {
    {Descriptor::CommandBase, kBase},
    {Descriptor::Command3DM, k3dmFirst},
    {Descriptor::Command3DM, k3dmSecond},
};

}  // namespace

Status<IoError> write_configuration(ByteSink& sink) {
    for (const auto& c : kSequence)
        if (auto r = MipPacket::write(sink, c.set, c.payload); !r) return r;
    return Unit{};
}

}  // namespace ahrs
