#pragma once
// The background reader of a buffered client: opens the device, starts the
// stream and queues one time-stamped snapshot per read attempt until it is
// stopped or the device goes away.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "../protocol/result.hpp"
#include "interrupts.hpp"
#include "fork_guard.hpp"
#include "snapshot_queue.hpp"

namespace ahrs {

struct ReaderSettings {
    std::string device;
    std::uint32_t baud_rate = 0;
    bool verbose = false;
};

class BufferedReader {
public:
    enum class StartError { NoMemory, NoThread };

    // Reserves the queue and starts the thread.
    static Result<std::unique_ptr<BufferedReader>, StartError> start(ReaderSettings settings, std::size_t buffer_size);
    // Stops the thread and waits for it: the device is released on return.
    // In a child made by fork() it touches nothing the parent still uses.
    ~BufferedReader();

    // A reader belongs to the process that started it. In a forked child its
    // thread does not exist, its queue's lock may have been copied held, and
    // its thread handle may name one of the child's own threads.
    bool inherited() const { return fork_generation() != generation_; }
    SnapshotQueue& queue() { return *queue_; }

private:
    BufferedReader(std::unique_ptr<SnapshotQueue> q, std::shared_ptr<CancelToken> c)
        : queue_(std::move(q)), cancel_(std::move(c)) {}
    std::unique_ptr<SnapshotQueue> queue_;
    std::shared_ptr<CancelToken> cancel_;
    std::unique_ptr<std::thread> thread_;
    std::uint64_t generation_ = fork_generation();
};

}  // namespace ahrs
