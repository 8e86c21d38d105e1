#pragma once
// The Sensor's queue of samples: bounded at its capacity and growing only
// as samples arrive, with the descriptor that wakes event loops and the
// newest sample kept for latest().
#include <memory>

#include "bounded_queue.hpp"
#include "live_sample.hpp"

namespace ahrs {

class SampleQueue final : public BoundedQueue<LiveSample> {
public:
    // Null when the descriptor cannot be had (errno says why). capacity >= 1.
    static std::unique_ptr<SampleQueue> create(std::size_t capacity, Overflow overflow) {
        return make<SampleQueue>({capacity, overflow, false, true, true});
    }

private:
    friend class BoundedQueue<LiveSample>;
    using BoundedQueue::BoundedQueue;
};

}  // namespace ahrs
