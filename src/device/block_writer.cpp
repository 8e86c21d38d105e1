#include "block_writer.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace ahrs {
namespace {

// The thread takes no signals: a Ctrl-C must reach the thread that waits on
// the input, whose interrupted read is how the export hears of it.
template <class F>
std::thread start_without_signals(F&& body) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::thread t(std::forward<F>(body));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return t;
}

}  // namespace

BlockWriter::BlockWriter(int fd, bool empty_first)
    : fd_(fd), empty_first_(empty_first), thread_(start_without_signals([this] { run(); })) {}

BlockWriter::~BlockWriter() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

Status<IoError> BlockWriter::outcome() const {
    if (error_) return err(*error_);
    return Unit{};
}

Status<IoError> BlockWriter::start(const char* data, std::size_t size) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
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
    changed_.wait(lock, [this] { return !pending_; });
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
        const ssize_t n = ::write(fd_, data + done, size - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n == 0) return IoError::write_zero();
        else if (errno != EINTR) return IoError::last_os();
    }
    return std::nullopt;
}

}  // namespace ahrs
