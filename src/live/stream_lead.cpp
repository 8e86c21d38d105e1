#include "stream_lead.hpp"

#include <algorithm>

namespace ahrs {

bool StreamLead::try_take() {
    std::lock_guard lock(mu_);
    if ((holder_ == Holder::None || holder_ == Holder::Loop) && !for_thread_ && !stopped_) {
        holder_ = Holder::Consumer;
        ++takes_;
        return true;
    }
    if (!stopped_) wanted_.store(true, std::memory_order_relaxed);
    return false;
}

void StreamLead::release() {
    std::lock_guard lock(mu_);
    holder_ = Holder::None;
    lease_end_ = Clock::now() + kLease;
    // Only close() waits for a consumer to let go; the thread's own wait
    // runs out with the lease.
    if (stopped_) changed_.notify_all();
}

void StreamLead::park() {
    std::lock_guard lock(mu_);
    holder_ = Holder::Loop;
    if (stopped_) changed_.notify_all();
}

void StreamLead::unpark() {
    {
        std::lock_guard lock(mu_);
        if (holder_ != Holder::Loop) return;
        holder_ = Holder::None;
        lease_end_ = Clock::now();
    }
    changed_.notify_all();
}

void StreamLead::hand_to_thread() {
    {
        std::lock_guard lock(mu_);
        holder_ = Holder::None;
        for_thread_ = true;
    }
    changed_.notify_all();
}

StreamLead::Took StreamLead::thread_take(const std::function<bool()>& bytes_waiting) {
    std::unique_lock lock(mu_);
    Took took = Took::Lead;
    unread_ = false;
    for (;;) {
        if (stopped_) return Took::Stopped;
        if (holder_ == Holder::Thread) return Took::Lead;  // kept through a reconnection
        if (holder_ == Holder::None && (for_thread_ || Clock::now() >= lease_end_)) break;
        if (holder_ == Holder::Loop && loop_stalled(lock, bytes_waiting)) {
            took = Took::FromStalledLoop;
            break;
        }
        // While a consumer leads, look again later: it may leave at any
        // moment without saying so (letting go wakes nobody).
        changed_.wait_until(lock, holder_ == Holder::None ? lease_end_ : Clock::now() + next_look());
    }
    holder_ = Holder::Thread;
    for_thread_ = false;
    look_ = kLease;
    return took;
}

StreamLead::Clock::duration StreamLead::next_look() {
    if (holder_ != Holder::Consumer) return kLease;
    look_ = std::min<Clock::duration>(look_ * 2, kLongestLook);
    return look_;
}

// Bytes that arrived just before a look are the loop's to take; only bytes
// still there a whole look later, with no step between, say it stalled.
bool StreamLead::loop_stalled(std::unique_lock<std::mutex>& lock, const std::function<bool()>& bytes_waiting) {
    const bool stepped = takes_ != takes_looked_;
    takes_looked_ = takes_;
    lock.unlock();
    const bool waiting = bytes_waiting();
    lock.lock();
    if (holder_ != Holder::Loop || takes_ != takes_looked_) {
        unread_ = false;
        return false;
    }
    const bool stalled = unread_ && !stepped && waiting;
    unread_ = waiting;
    return stalled;
}

bool StreamLead::thread_yield() {
    if (!wanted_.load(std::memory_order_relaxed)) return false;
    std::lock_guard lock(mu_);
    wanted_.store(false, std::memory_order_relaxed);
    holder_ = Holder::None;
    lease_end_ = Clock::now() + kLease;
    return true;
}

void StreamLead::stop() {
    {
        std::lock_guard lock(mu_);
        stopped_ = true;
    }
    changed_.notify_all();
}

void StreamLead::wait_no_consumer() {
    std::unique_lock lock(mu_);
    changed_.wait(lock, [&] { return holder_ != Holder::Consumer; });
}

}  // namespace ahrs
