#include "sample_queue.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <new>

#include "../device/files.hpp"

namespace ahrs {

std::unique_ptr<SampleQueue> SampleQueue::create(std::size_t capacity, Overflow overflow) {
    const int fd = above_standard_descriptors(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (fd < 0) return nullptr;
    try {
        return std::unique_ptr<SampleQueue>(new SampleQueue(capacity, overflow, fd));
    } catch (const std::bad_alloc&) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
}

SampleQueue::SampleQueue(std::size_t capacity, Overflow overflow, int signal_fd)
    : capacity_(capacity), overflow_(overflow), signal_fd_(signal_fd) {}

SampleQueue::~SampleQueue() { ::close(signal_fd_); }

// The counter only needs to be non-zero; a full one (EAGAIN) already is.
void SampleQueue::signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(signal_fd_, &one, sizeof one);
}

void SampleQueue::clear_signal() {
    std::uint64_t count;
    [[maybe_unused]] auto n = ::read(signal_fd_, &count, sizeof count);
    std::lock_guard lock(mu_);
    armed_ = true;
}

LiveSample SampleQueue::take_front() {
    LiveSample s = std::move(samples_.front());
    samples_.pop_front();
    return s;
}

bool SampleQueue::push(const LiveSample& s) {
    std::unique_lock lock(mu_);
    if (overflow_ == Overflow::Block) space_.wait(lock, [&] { return ended_ || queued() < capacity_; });
    // Nothing is dropped for a sample that would not be queued.
    if (ended_) return false;
    if (queued() == capacity_) {
        samples_.pop_front();
        ++dropped_;
    }
    samples_.push_back(s);
    latest_ = s;
    max_count_ = std::max(max_count_, queued());
    if (armed_) {
        armed_ = false;
        signal();
    }
    lock.unlock();
    items_.notify_one();
    return true;
}

SampleQueue::Took SampleQueue::pop(LiveSample& out, std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mu_);
    if (!items_.wait_until(lock, until, [&] { return ended_ || queued() > 0; })) return Took::Nothing;
    if (queued() == 0) return Took::Ended;
    out = take_front();
    lock.unlock();
    space_.notify_one();
    return Took::Sample;
}

std::size_t SampleQueue::drain(std::vector<LiveSample>& out) {
    std::unique_lock lock(mu_);
    const std::size_t n = queued();
    out.reserve(out.size() + n);
    while (queued() > 0) out.push_back(take_front());
    lock.unlock();
    if (n) space_.notify_one();
    return n;
}

std::optional<LiveSample> SampleQueue::latest() {
    std::lock_guard lock(mu_);
    return latest_;
}

void SampleQueue::end() {
    {
        std::lock_guard lock(mu_);
        ended_ = true;
    }
    signal();
    items_.notify_all();
    space_.notify_all();
}

bool SampleQueue::ended() {
    std::lock_guard lock(mu_);
    return ended_;
}

std::uint64_t SampleQueue::dropped() {
    std::lock_guard lock(mu_);
    return dropped_;
}

std::size_t SampleQueue::size() {
    std::lock_guard lock(mu_);
    return queued();
}

std::size_t SampleQueue::max_size() {
    std::lock_guard lock(mu_);
    return max_count_;
}

}  // namespace ahrs
