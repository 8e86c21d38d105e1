#include "serial_device.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace ahrs {
namespace {

struct StandardRate {
    std::uint32_t baud;
    tcflag_t code;
};

constexpr StandardRate kStandardRates[] = {
    {0, B0},
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
};

tcflag_t speed_code(std::uint32_t baud) {
    for (const auto& r : kStandardRates)
        if (r.baud == baud) return r.code;
    return BOTHER;
}

}  // namespace

Status<int> set_line_speed(int fd, std::uint32_t baud) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return err(errno);
    // A zero input field means "same as output", so only one rate is coded.
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= speed_code(baud);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    if (::ioctl(fd, TCSETS2, &t) != 0) return err(errno);
    return Unit{};
}

Result<LineSpeed, int> line_speed(int fd) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return err(errno);
    return LineSpeed{t.c_ispeed, t.c_ospeed};
}

}  // namespace ahrs
