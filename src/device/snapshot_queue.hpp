#pragma once
// The bounded first-in-first-out queue between a buffered client's reader
// thread (the one sender) and the client object (the one receiver).
//
// Capacity n > 0 is a fixed ring of n slots reserved up front; capacity 0 is
// a hand-over: an item passes only while the receiver is taking and the
// sender is offering.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "../protocol/result.hpp"
#include "../protocol/snapshot_map.hpp"

namespace ahrs {

struct QueueItem {
    std::uint64_t timestamp_ms = 0;
    SnapshotMap map;
};

class SnapshotQueue {
public:
    // Null when the ring's storage cannot be reserved.
    static std::unique_ptr<SnapshotQueue> create(std::size_t capacity);
    ~SnapshotQueue();
    SnapshotQueue(const SnapshotQueue&) = delete;
    SnapshotQueue& operator=(const SnapshotQueue&) = delete;

    // Waits while the queue is full (or, for a hand-over, until the item is
    // taken); false when `stop()` ended the wait and nothing was queued.
    // The map is copied into a slot that keeps its storage from earlier
    // items, so a warm queue does not allocate.
    bool send(std::uint64_t timestamp_ms, const SnapshotMap& map);
    // Swaps every queued item into out[first], out[first + 1], ..., oldest
    // first, without waiting, growing `out` when it is too short; returns
    // how many. The slots get the storage of out's old items back: a
    // receiver that keeps `out` from one call to the next makes neither side
    // allocate. When `out` cannot grow, nothing is taken: NoMemory.
    enum class NoMemory {};
    Result<std::size_t, NoMemory> drain(std::vector<QueueItem>& out, std::size_t first = 0);

    void stop();  // wakes a waiting sender for good

private:
    explicit SnapshotQueue(std::size_t capacity, QueueItem* slots);
    QueueItem& slot(std::size_t i) { return slots_[i]; }

    std::mutex mu_;
    std::condition_variable space_;  // signalled when an item leaves or the queue closes
    const std::size_t capacity_;
    QueueItem* slots_;               // capacity_ slots, constructed on first use
    std::size_t constructed_ = 0;
    std::size_t head_ = 0;           // oldest item
    std::size_t count_ = 0;
    // The hand-over's single offered item (capacity 0 only).
    QueueItem offer_;
    bool offering_ = false;
    bool stopped_ = false;
};

}  // namespace ahrs
