#pragma once
// The buffered client's layout of a live reader: one snapshot map per read
// attempt, stamped with the wall clock in milliseconds, into a bounded
// queue that holds its whole capacity from the start (0: a hand-over); and
// the diagnostics a port's reader writes. The reader it is given to opens
// the device in its own thread, never configures it and never reconnects.
#include <cstdint>
#include <memory>
#include <string>

#include "../protocol/snapshot_map.hpp"
#include "bounded_queue.hpp"
#include "live_layout.hpp"
#include "live_reader.hpp"

namespace ahrs {

struct StampedSnapshot {
    std::uint64_t timestamp_ms = 0;
    SnapshotMap map;
};
using SnapshotQueue = BoundedQueue<StampedSnapshot>;

class BufferedLayout final : public LiveLayout {
public:
    // Null when the queue's storage cannot be reserved.
    static std::shared_ptr<BufferedLayout> create(std::size_t buffer_size, bool verbose);
    // The reader's settings for this layout.
    static LiveSettings settings(std::string device, std::uint32_t baud_rate, std::shared_ptr<BufferedLayout> layout);

    SnapshotQueue& queue() { return *queue_; }

    void open_failed(const SerialError& e, const Interrupts& interrupts) override;
    bool before_attempt(const Interrupts& interrupts) override;
    bool packet(const MipPacket& packet, const Interrupts& interrupts) override;
    bool failed(AttemptBuffer& input, const PacketError& e, const Interrupts& interrupts) override;
    void stopped(bool out_of_memory, const Interrupts& interrupts) override;
    void close() override { queue_->end(); }

private:
    BufferedLayout(std::unique_ptr<SnapshotQueue> queue, bool verbose) : queue_(std::move(queue)), verbose_(verbose) {}
    // Stamps the item and queues it; false when the reader must end.
    bool send(const Interrupts& interrupts);

    std::unique_ptr<SnapshotQueue> queue_;
    const bool verbose_;
    // The thread's own: reused for every attempt, so a steady stream
    // allocates nothing here.
    FlatPacket flat_{};
    StampedSnapshot item_;
    bool dead_ = false;  // the device failed: each attempt first waits out a read's time-out
};

}  // namespace ahrs
