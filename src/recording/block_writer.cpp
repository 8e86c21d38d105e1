#include "block_writer.hpp"

#include <limits.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "../device/interrupts.hpp"

namespace ahrs {
namespace {

// The thread takes no signals: a Ctrl-C must reach the thread that waits on
// the input, whose interrupted read is how the export hears of it. The
// caller's mask is back as it was whether the thread starts or not.
template <class F>
Result<std::thread, IoError> start_without_signals(F&& body) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::optional<IoError> failed;
    std::thread t;
    try {
        t = std::thread(std::forward<F>(body));
    } catch (const std::system_error& e) {  // no thread could be had (EAGAIN)
        failed = IoError::os(e.code().value());
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed) return err(std::move(*failed));
    return t;
}

}  // namespace

namespace {

// A pipe, a socket or a terminal may hold a write until its reader takes
// the bytes; a file or a sink like /dev/null never does.
bool may_hold_writes(int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return true;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || ::isatty(fd);
}

}  // namespace

BlockWriter::BlockWriter(int fd, bool empty_first, InterruptCheck interrupt)
    : fd_(fd), bounded_(may_hold_writes(fd)), interrupt_(interrupt), empty_first_(empty_first) {
    auto t = start_without_signals([this] { run(); });
    if (t) thread_ = std::move(*t);
    else error_ = std::move(t).error();
}

Status<IoError> BlockWriter::started() const {
    if (thread_.joinable()) return Unit{};
    return outcome();
}

BlockWriter::~BlockWriter() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        if (pending_) abandon_.cancel();
    }
    changed_.notify_all();
    thread_.join();
}

Status<IoError> BlockWriter::outcome() const {
    if (error_) return err(*error_);
    return Unit{};
}

// How often a wait for the writer looks at pending signals: its wait on a
// condition is never cut short by one.
constexpr std::chrono::milliseconds kSignalLook{100};

Status<IoError> BlockWriter::wait_idle(std::unique_lock<std::mutex>& lock) {
    while (!changed_.wait_for(lock, kSignalLook, [this] { return !pending_; })) {
        lock.unlock();
        const bool stop = interrupt_.requested();
        lock.lock();
        if (stop) {
            abandon_.cancel();
            return err(interrupted());
        }
    }
    return Unit{};
}

Status<IoError> BlockWriter::start(const char* data, std::size_t size) {
    std::unique_lock lock(mutex_);
    if (auto r = wait_idle(lock); !r) return r;
    if (error_) return err(*error_);
    data_ = data;
    size_ = size;
    pending_ = true;
    lock.unlock();
    changed_.notify_all();
    return Unit{};
}

Status<IoError> BlockWriter::wait() {
    std::unique_lock lock(mutex_);
    if (auto r = wait_idle(lock); !r) return r;
    return outcome();
}

void BlockWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return pending_ || closing_; });
        if (!pending_) break;
        lock.unlock();
        auto failed = write_block(data_, size_);
        lock.lock();
        if (failed && !error_) error_ = std::move(failed);
        pending_ = false;
        changed_.notify_all();
    }
    lock.unlock();
    if (empty_first_) (void)::ftruncate(fd_, 0);  // nothing came: the file is still emptied, as an open would
}

std::optional<IoError> BlockWriter::write_block(const char* data, std::size_t size) {
    if (empty_first_) {
        empty_first_ = false;
        if (::ftruncate(fd_, 0) != 0) return IoError::last_os();
    }
    std::size_t done = 0;
    while (done < size) {
        // Room first, or the owner's word to give up: a write into a full
        // pipe would hold this thread, and the owner's join, for good.
        if (auto room = wait_writable(fd_, Interrupts{{}, &abandon_}); !room) return std::move(room).error();
        // Into a pipe or a terminal only what the poll promised room for, or
        // the write would wait for the whole block where nothing can stop it.
        const std::size_t most = bounded_ ? std::min<std::size_t>(size - done, PIPE_BUF) : size - done;
        const ssize_t n = ::write(fd_, data + done, most);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n == 0) return IoError::write_zero();
        else if (errno != EINTR && errno != EAGAIN) return IoError::last_os();
    }
    return std::nullopt;
}

}  // namespace ahrs
