#include "line_settings.hpp"

#include <termios.h>

#include <cerrno>

#include "termios_baud.hpp"

namespace ahrs {
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

}  // namespace ahrs
