#pragma once
// The bounded queue between a live reader (the one sender) and its consumers.
// When it is full the sender either waits (nothing is lost) or pushes the
// oldest sample out (a display that wants the newest). Consumers wait on a
// condition variable in bounded slices, or on a descriptor that becomes
// readable when samples arrive or the queue ends, for event loops.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "live_sample.hpp"

namespace ahrs {

enum class Overflow : std::uint8_t { Block, DropOldest };

class SampleQueue {
public:
    // Null when the descriptor cannot be had (errno says why). capacity >= 1.
    // Memory grows with the samples queued, not with the capacity.
    static std::unique_ptr<SampleQueue> create(std::size_t capacity, Overflow overflow);
    ~SampleQueue();
    SampleQueue(const SampleQueue&) = delete;
    SampleQueue& operator=(const SampleQueue&) = delete;

    // False when the queue has ended and the sample was not queued.
    bool push(const LiveSample& s);

    enum class Took : std::uint8_t { Sample, Nothing, Ended };
    // Waits until a sample is there (Sample), the queue has ended and is
    // empty (Ended), or `until` passes (Nothing).
    Took pop(LiveSample& out, std::chrono::steady_clock::time_point until);
    // Every queued sample, oldest first, appended to `out`, without waiting.
    std::size_t drain(std::vector<LiveSample>& out);
    // The newest sample pushed so far, consumed or not.
    std::optional<LiveSample> latest();

    // No more samples will come: a waiting sender gives up, waiting
    // consumers wake, and once empty every pop says Ended.
    void end();
    bool ended();

    // Made readable by the first sample pushed after clear_signal(), and by
    // the end. A consumer that waits on it clears it before it looks at the
    // queue, then waits only if it found nothing; a consumer that never
    // clears it costs the sender no system call per sample.
    int signal_fd() const { return signal_fd_; }
    void clear_signal();

    std::uint64_t dropped();
    std::size_t size();
    std::size_t max_size();

private:
    SampleQueue(std::size_t capacity, Overflow overflow, int signal_fd);
    void signal();
    LiveSample take_front();
    std::size_t queued() const { return samples_.size(); }

    std::mutex mu_;
    std::condition_variable items_;  // a sample arrived or the queue ended
    std::condition_variable space_;  // a sample left or the queue ended
    std::deque<LiveSample> samples_;
    const std::size_t capacity_;
    const Overflow overflow_;
    const int signal_fd_;
    std::size_t max_count_ = 0;
    std::uint64_t dropped_ = 0;
    std::optional<LiveSample> latest_;
    bool ended_ = false;
    bool armed_ = false;  // a consumer cleared the descriptor and may wait on it
};

}  // namespace ahrs
