#pragma once
// The bounded first-in-first-out queue between a live reader's thread (the
// one sender) and its consumers, for any item a reader lays its packets out
// as: the Sensor's samples, the buffered client's stamped snapshots.
//
// Capacity n > 0 is a ring of at most n slots, which grows as it fills, or
// is reserved whole up front when asked; capacity 0 is a hand-over: an item
// passes only while a consumer is taking and the sender is offering. When
// the ring is full the sender either waits (nothing is lost) or pushes the
// oldest item out (a display that wants the newest). Items are copied into
// slots that keep their storage from earlier items and swapped out to the
// consumer, so a warm queue whose consumer keeps its vector allocates
// nothing on either side. Consumers wait on a condition variable, or on a
// descriptor that becomes readable when items arrive or the queue ends, for
// event loops.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "../protocol/result.hpp"

namespace ahrs {

enum class Overflow : std::uint8_t { Block, DropOldest };

struct QueueOptions {
    std::size_t capacity = 0;
    Overflow overflow = Overflow::Block;
    bool reserve = false;      // claim every slot's storage at creation
    bool signal = false;       // keep the descriptor for event loops
    bool keep_latest = false;  // keep a copy of the newest item pushed
};

// The descriptor's side, the same for every item.
namespace queue_signal {
int open();  // -1 with errno when it cannot be had
void raise(int fd);
void lower(int fd);
void close(int fd);
}  // namespace queue_signal

template <class Item>
class BoundedQueue {
public:
    // Null when the storage or the descriptor cannot be had: errno says
    // which (ENOMEM for the storage).
    static std::unique_ptr<BoundedQueue> create(const QueueOptions& options) { return make<BoundedQueue>(options); }
    ~BoundedQueue() {
        if (signal_fd_ >= 0) queue_signal::close(signal_fd_);
    }
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Waits while the queue is full (or, for a hand-over, until the item is
    // taken) under Block. False when the queue has ended and the item was
    // not queued; nothing is dropped for it.
    bool push(const Item& item);

    enum class Took : std::uint8_t { Sample, Nothing, Ended };
    // Waits until an item is there (Sample, swapped into `out`), the queue
    // has ended and is empty (Ended), or `until` passes (Nothing).
    Took pop(Item& out, std::chrono::steady_clock::time_point until);
    // Swaps every queued item into out[first], out[first + 1], ..., oldest
    // first, without waiting, growing `out` when it is too short; returns
    // how many. When `out` cannot grow, nothing is taken: NoMemory.
    enum class NoMemory {};
    Result<std::size_t, NoMemory> drain(std::vector<Item>& out, std::size_t first = 0);
    // The newest item pushed so far, consumed or not (with keep_latest).
    std::optional<Item> latest() {
        std::lock_guard lock(mu_);
        return latest_;
    }

    // No more items will come: a waiting sender gives up (a hand-over's
    // offer is withdrawn), waiting consumers wake, and once empty every pop
    // says Ended.
    void end();
    bool ended() {
        std::lock_guard lock(mu_);
        return ended_;
    }

    // Made readable by the first item pushed after clear_signal(), and by
    // the end. A consumer that waits on it clears it before it looks at the
    // queue, then waits only if it found nothing; a consumer that never
    // clears it costs the sender no system call per item. -1 without it.
    int signal_fd() const { return signal_fd_; }
    void clear_signal() {
        std::lock_guard lock(mu_);
        lower();
        armed_ = true;
    }
    // Unreadable, unless the queue has ended, and not armed: for a consumer
    // that waits on it for the end and for nudge() alone.
    void lower_signal() {
        std::lock_guard lock(mu_);
        lower();
    }
    // Readable at once, armed or not.
    void nudge() {
        std::lock_guard lock(mu_);
        raise();
    }

    std::uint64_t dropped() {
        std::lock_guard lock(mu_);
        return dropped_;
    }
    std::size_t size() {
        std::lock_guard lock(mu_);
        return queued();
    }
    std::size_t max_size() {
        std::lock_guard lock(mu_);
        return max_count_;
    }

protected:
    BoundedQueue(const QueueOptions& options, int signal_fd) : options_(options), signal_fd_(signal_fd) {}
    template <class Queue>
    static std::unique_ptr<Queue> make(const QueueOptions& options);

private:
    std::size_t queued() const { return options_.capacity == 0 ? std::size_t{offering_} : count_; }
    bool has_room() const { return options_.capacity == 0 ? !offering_ : count_ < options_.capacity; }
    // The slot the next item goes into, the ring grown first when needed.
    Item& tail_slot();
    void take_front(Item& out);
    // After an item was queued, under the lock: wakes the event loop.
    void arrived(const Item& item);
    // The descriptor's state, under the lock; a lowering costs a system
    // call only when it was raised.
    void raise() {
        if (signal_fd_ < 0) return;
        queue_signal::raise(signal_fd_);
        raised_ = true;
    }
    void lower() {
        if (!raised_ || ended_) return;
        queue_signal::lower(signal_fd_);
        raised_ = false;
    }

    const QueueOptions options_;
    const int signal_fd_;
    std::mutex mu_;
    std::condition_variable items_;  // an item arrived or the queue ended
    std::condition_variable space_;  // an item left or the queue ended
    std::vector<Item> slots_;        // the ring, grown up to the capacity
    std::size_t head_ = 0;           // oldest item
    std::size_t count_ = 0;
    Item offer_{};  // the hand-over's single offered item (capacity 0 only)
    bool offering_ = false;
    std::size_t max_count_ = 0;
    std::uint64_t dropped_ = 0;
    std::optional<Item> latest_;
    bool ended_ = false;
    bool armed_ = false;  // a consumer cleared the descriptor and may wait on it
    bool raised_ = false;
};

template <class Item>
template <class Queue>
std::unique_ptr<Queue> BoundedQueue<Item>::make(const QueueOptions& options) {
    const int fd = options.signal ? queue_signal::open() : -1;
    if (options.signal && fd < 0) return nullptr;
    std::unique_ptr<Queue> queue;
    try {
        queue.reset(new Queue(options, fd));
        if (options.reserve) queue->slots_.reserve(options.capacity);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        if (!queue && fd >= 0) queue_signal::close(fd);
        return nullptr;
    } catch (const std::length_error&) {
        errno = ENOMEM;
        return nullptr;
    }
    return queue;
}

// A full ring below its capacity doubles: its items are first turned so
// that the oldest is in slot 0, and the new slots follow the newest.
template <class Item>
Item& BoundedQueue<Item>::tail_slot() {
    if (count_ == slots_.size()) {
        std::rotate(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(head_), slots_.end());
        head_ = 0;
        slots_.resize(std::min(options_.capacity, std::max<std::size_t>(4, 2 * slots_.size())));
    }
    return slots_[(head_ + count_) % slots_.size()];
}

template <class Item>
void BoundedQueue<Item>::take_front(Item& out) {
    using std::swap;
    if (options_.capacity == 0) {
        swap(out, offer_);
        offering_ = false;
        return;
    }
    swap(out, slots_[head_]);
    head_ = (head_ + 1) % slots_.size();
    --count_;
}

template <class Item>
void BoundedQueue<Item>::arrived(const Item& item) {
    if (options_.keep_latest) latest_ = item;
    max_count_ = std::max(max_count_, queued());
    if (armed_) {
        armed_ = false;
        raise();
    }
}

template <class Item>
bool BoundedQueue<Item>::push(const Item& item) {
    std::unique_lock lock(mu_);
    if (options_.overflow == Overflow::Block || options_.capacity == 0)
        space_.wait(lock, [&] { return ended_ || has_room(); });
    if (ended_) return false;
    if (options_.capacity == 0) {
        offer_ = item;
        offering_ = true;
        arrived(item);
        lock.unlock();
        items_.notify_one();
        lock.lock();
        space_.wait(lock, [&] { return !offering_ || ended_; });
        if (!offering_) return true;
        offering_ = false;  // withdrawn: nobody took it
        return false;
    }
    if (count_ == options_.capacity) {  // full: the oldest makes way
        head_ = (head_ + 1) % slots_.size();
        --count_;
        ++dropped_;
    }
    tail_slot() = item;  // copy-assigned: the slot keeps its storage
    ++count_;
    arrived(item);
    lock.unlock();
    items_.notify_one();
    return true;
}

template <class Item>
typename BoundedQueue<Item>::Took BoundedQueue<Item>::pop(Item& out, std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mu_);
    const auto ready = [&] { return ended_ || queued() > 0; };
    // A wait whose deadline has passed still costs the condition variable
    // two system calls; a look that finds nothing costs none.
    if (!ready() && (until <= std::chrono::steady_clock::now() || !items_.wait_until(lock, until, ready)))
        return Took::Nothing;
    if (queued() == 0) return Took::Ended;
    take_front(out);
    lock.unlock();
    space_.notify_all();
    return Took::Sample;
}

template <class Item>
Result<std::size_t, typename BoundedQueue<Item>::NoMemory> BoundedQueue<Item>::drain(std::vector<Item>& out,
                                                                                     std::size_t first) {
    std::unique_lock lock(mu_);
    const std::size_t n = queued();
    if (n == 0) return std::size_t{0};
    try {
        if (out.size() < first + n) out.resize(first + n);
    } catch (const std::bad_alloc&) {
        return err(NoMemory{});
    }
    for (std::size_t i = first; i < first + n; ++i) take_front(out[i]);
    lock.unlock();
    space_.notify_all();
    return n;
}

template <class Item>
void BoundedQueue<Item>::end() {
    {
        std::lock_guard lock(mu_);
        ended_ = true;
        raise();
    }
    items_.notify_all();
    space_.notify_all();
}

}  // namespace ahrs
