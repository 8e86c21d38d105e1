#pragma once
// Who reads a live stream: the reader thread, or a consumer waiting for a
// sample, which then reads and frames the device itself instead of being
// woken by the thread (one wake per sample rather than two). Exactly one
// of them leads at a time; the lead's holder alone touches the stream.
//
// A consumer takes the lead whenever it is free, and lets go on leaving its
// wait with a lease: for a short while the thread leaves it free, so that a
// consumer that comes straight back for the next sample finds it free again
// and the parked thread is not woken for it. Only when the lease lapses
// does the thread take the lead back, and then keeps it until a consumer
// asks: the consumer waits on the queue, and the thread lets go right after
// the next sample it queues. A consumer that meets a lost device hands the
// lead straight to the thread, which alone reconnects.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace ahrs {

class StreamLead {
public:
    using Clock = std::chrono::steady_clock;
    // A few sample periods at the usual rates: how long a consumer that let
    // go has to come back before the thread takes the lead, and how often
    // the thread looks at a parked lead.
    static constexpr std::chrono::milliseconds kLease{5};
    // A consumer waiting in the lead reads the device as it comes, so the
    // thread looks less and less often while it finds one there (one wake
    // per sample is the point): it takes over at most this late after the
    // consumer leaves for good.
    static constexpr std::chrono::milliseconds kLongestLook{40};

    // The thread starts as the holder.
    StreamLead() = default;
    StreamLead(const StreamLead&) = delete;
    StreamLead& operator=(const StreamLead&) = delete;

    // A consumer: takes the lead if it is free or parked; otherwise asks
    // the thread for it and says no.
    bool try_take();
    // A consumer lets go, leasing the lead to consumers for kLease.
    void release();
    // An event loop's consumer lets go, keeping the lead parked for the loop
    // while it waits for the device.
    void park();
    // An event loop's waits ended without a step to come: a parked lead goes
    // to the thread at once.
    void unpark();
    // A consumer lets go for the thread to take it at once (a lost device).
    void hand_to_thread();

    // The thread: waits until it holds the lead, or until stop(). It keeps
    // the lead it holds. `bytes_waiting` looks at the device while the lead
    // is parked; FromStalledLoop says the lead was taken from a loop that
    // left bytes unread.
    enum class Took : std::uint8_t { Stopped, Lead, FromStalledLoop };
    Took thread_take(const std::function<bool()>& bytes_waiting);
    // The thread, holding the lead: lets go if a consumer asked for it.
    bool thread_yield();

    // No consumer takes the lead any more, and a parked thread gives up.
    void stop();
    // Waits until no consumer holds the lead. After stop(), none ever will.
    void wait_no_consumer();

private:
    enum class Holder : std::uint8_t { None, Thread, Consumer, Loop };

    // At one of the thread's looks at a parked lead: whether the loop has
    // left bytes unread since the look before (it then takes the lead).
    bool loop_stalled(std::unique_lock<std::mutex>& lock, const std::function<bool()>& bytes_waiting);
    // How long the thread waits before its next look at a lead it does not hold.
    Clock::duration next_look();

    std::mutex mu_;
    std::condition_variable changed_;  // let go for the thread, or stopped
    Holder holder_ = Holder::Thread;
    bool for_thread_ = false;  // let go for the thread to take at once
    bool stopped_ = false;
    Clock::time_point lease_end_{};
    std::uint64_t takes_ = 0;         // consumers' steps so far
    std::uint64_t takes_looked_ = 0;  // as of the thread's last look
    bool unread_ = false;             // bytes waited at that look
    std::atomic<bool> wanted_{false};  // a consumer waits for the thread to let go
    Clock::duration look_ = kLease;    // the thread's next wait while a consumer waits in the lead
};

}  // namespace ahrs
