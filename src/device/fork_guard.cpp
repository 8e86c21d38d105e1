#include "fork_guard.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

#include "files.hpp"

namespace ahrs {
namespace {

// Held across every open and close of a registered descriptor and across
// fork() itself, so a child sees each descriptor either registered or not
// yet (or no longer) open.
std::mutex g_mu;
std::vector<int> g_fds;
int g_dead_line = -1;  // what the child's copies become
std::atomic<std::uint64_t> g_generation{0};

void before_fork() { g_mu.lock(); }
void after_fork_in_parent() { g_mu.unlock(); }

// Only the forking thread exists here: plain system calls, no allocation.
void after_fork_in_child() {
    g_generation.fetch_add(1, std::memory_order_relaxed);
    for (const int fd : g_fds) ::dup3(g_dead_line, fd, O_CLOEXEC);
    g_mu.unlock();
}

// 0, or why the handlers could not be installed (ENOMEM). Without them a
// child would keep the parent's devices, so no device is opened then.
int install_handlers() {
    static const int failed = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return failed;
}

// A pipe's read end with the write end closed: always readable, always at
// its end, and no use to anyone else.
int make_dead_line() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return -1;
    ::close(p[1]);
    return above_standard_descriptors(p[0]);
}

}  // namespace

int open_parent_only(const char* path, int flags) {
    if (const int failed = install_handlers(); failed != 0) {
        errno = failed;
        return -1;
    }
    std::lock_guard lock(g_mu);
    if (g_dead_line < 0 && (g_dead_line = make_dead_line()) < 0) return -1;
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    fd = above_standard_descriptors(fd);
    if (fd < 0) return -1;
    try {
        g_fds.push_back(fd);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        errno = ENOMEM;
        return -1;
    }
    return fd;
}

void close_parent_only(int fd) {
    std::lock_guard lock(g_mu);
    if (const auto it = std::find(g_fds.begin(), g_fds.end(), fd); it != g_fds.end()) g_fds.erase(it);
    ::close(fd);
}

// Without the handlers no device was opened (see above): nothing inherited
// can tell the generations apart.
std::uint64_t fork_generation() {
    (void)install_handlers();
    return g_generation.load(std::memory_order_relaxed);
}

}  // namespace ahrs
