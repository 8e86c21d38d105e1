#pragma once
// Tells a reconnecting reader that a device may have come back: a
// descriptor that becomes readable when something is created, moved or
// changes its attributes in the directory of the device's path (where udev
// keeps /dev/serial/by-id links, or a simulator its link) or in /dev (where
// the device node itself appears). Without inotify the reader just polls.
#include <string_view>

namespace ahrs {

class PathWatch {
public:
    explicit PathWatch(std::string_view path);
    ~PathWatch();
    PathWatch(const PathWatch&) = delete;
    PathWatch& operator=(const PathWatch&) = delete;

    int fd() const { return fd_; }  // -1 when nothing is watched
    void drain();                   // forgets the events seen so far

private:
    int fd_ = -1;
};

}  // namespace ahrs
