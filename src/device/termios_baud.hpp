#pragma once
// Line speed of a terminal device, any rate: the classic B-constants where
// one exists, the kernel's termios2 with BOTHER otherwise. Kept apart because
// the kernel's termios structures cannot share a file with the C library's.
#include <cstdint>

#include "../protocol/result.hpp"

namespace ahrs {

struct LineSpeed {
    std::uint32_t input;
    std::uint32_t output;
    bool operator==(const LineSpeed&) const = default;
};

// Sets both directions to `baud`; the error is an errno value.
Status<int> set_line_speed(int fd, std::uint32_t baud);
// The speeds the device reports now; the error is an errno value.
Result<LineSpeed, int> line_speed(int fd);

}  // namespace ahrs
