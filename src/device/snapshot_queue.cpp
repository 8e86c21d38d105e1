#include "snapshot_queue.hpp"

#include <new>
#include <utility>

namespace ahrs {

std::unique_ptr<SnapshotQueue> SnapshotQueue::create(std::size_t capacity) {
    // Raw storage: the slots are built as they are first used, so a large
    // ring costs address space up front but memory only as it fills.
    QueueItem* slots = nullptr;
    if (capacity > 0) {
        if (capacity > SIZE_MAX / sizeof(QueueItem)) return nullptr;
        slots = static_cast<QueueItem*>(::operator new(capacity * sizeof(QueueItem), std::nothrow));
        if (!slots) return nullptr;
    }
    return std::unique_ptr<SnapshotQueue>(new (std::nothrow) SnapshotQueue(capacity, slots));
}

SnapshotQueue::SnapshotQueue(std::size_t capacity, QueueItem* slots) : capacity_(capacity), slots_(slots) {}

SnapshotQueue::~SnapshotQueue() {
    for (std::size_t i = 0; i < constructed_; ++i) slots_[i].~QueueItem();
    ::operator delete(slots_);
}

bool SnapshotQueue::send(std::uint64_t timestamp_ms, const SnapshotMap& map) {
    std::unique_lock lock(mu_);
    space_.wait(lock, [&] { return stopped_ || (capacity_ == 0 ? !offering_ : count_ < capacity_); });
    if (stopped_) return false;
    if (capacity_ == 0) {
        offer_.timestamp_ms = timestamp_ms;
        offer_.map = map;
        offering_ = true;
        space_.wait(lock, [&] { return !offering_ || stopped_; });
        if (!offering_) return true;
        offering_ = false;  // withdrawn: nobody took it
        return false;
    }
    const std::size_t tail = (head_ + count_) % capacity_;
    if (tail < constructed_) {
        // Copy-assign keeps the slot's storage: no allocation once warm.
        slot(tail).timestamp_ms = timestamp_ms;
        slot(tail).map = map;
    } else {
        new (&slots_[tail]) QueueItem{timestamp_ms, map};
        ++constructed_;
    }
    ++count_;
    return true;
}

Result<std::size_t, SnapshotQueue::NoMemory> SnapshotQueue::drain(std::vector<QueueItem>& out, std::size_t first) {
    using std::swap;
    std::lock_guard lock(mu_);
    const std::size_t n = capacity_ == 0 ? (offering_ ? 1 : 0) : count_;
    if (n == 0) return std::size_t{0};
    try {
        if (out.size() < first + n) out.resize(first + n);
    } catch (const std::bad_alloc&) {
        return err(NoMemory{});
    }
    if (capacity_ == 0) {
        swap(out[first], offer_);
        offering_ = false;
    } else {
        for (std::size_t i = first; i < first + n; ++i) {
            swap(out[i], slot(head_));
            head_ = (head_ + 1) % capacity_;
        }
        count_ = 0;
    }
    space_.notify_all();
    return n;
}

void SnapshotQueue::stop() {
    std::lock_guard lock(mu_);
    stopped_ = true;
    space_.notify_all();
}

}  // namespace ahrs
