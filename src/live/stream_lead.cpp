#include "stream_lead.hpp"

namespace ahrs {

bool StreamLead::try_take() {
    std::lock_guard lock(mu_);
    if (holder_ == Holder::None && !for_thread_ && !stopped_) {
        holder_ = Holder::Consumer;
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

void StreamLead::hand_to_thread() {
    {
        std::lock_guard lock(mu_);
        holder_ = Holder::None;
        for_thread_ = true;
    }
    changed_.notify_all();
}

bool StreamLead::thread_take() {
    std::unique_lock lock(mu_);
    for (;;) {
        if (stopped_) return false;
        if (holder_ == Holder::Thread) return true;  // kept through a reconnection
        if (holder_ == Holder::None && (for_thread_ || Clock::now() >= lease_end_)) break;
        // While a consumer leads, look again a lease later: it may leave
        // at any moment without saying so.
        changed_.wait_until(lock, holder_ == Holder::None ? lease_end_ : Clock::now() + kLease);
    }
    holder_ = Holder::Thread;
    for_thread_ = false;
    return true;
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
