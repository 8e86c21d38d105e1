#include "path_watch.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "../device/files.hpp"

namespace ahrs {
namespace {

constexpr std::uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;

std::string directory_of(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

}  // namespace

PathWatch::PathWatch(std::string_view path) {
    fd_ = above_standard_descriptors(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (fd_ < 0) return;
    const bool dir = ::inotify_add_watch(fd_, directory_of(path).c_str(), kEvents) >= 0;
    const bool dev = ::inotify_add_watch(fd_, "/dev", kEvents) >= 0;
    if (!dir && !dev) {
        ::close(fd_);
        fd_ = -1;
    }
}

PathWatch::~PathWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void PathWatch::drain() {
    alignas(inotify_event) char buf[4096];
    while (fd_ >= 0 && ::read(fd_, buf, sizeof buf) > 0) {}
}

}  // namespace ahrs
