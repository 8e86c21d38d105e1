#pragma once
// The background reader of a buffered client: opens the device, starts the
// stream and queues one time-stamped snapshot per read attempt until it is
// stopped or the device goes away.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "../protocol/result.hpp"
#include "cancel.hpp"
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
    static Result<std::unique_ptr<BufferedReader>, StartError> start(ReaderSettings settings,
                                                                     std::size_t buffer_size);
    // Stops the thread and waits for it: the device is released on return.
    ~BufferedReader();

    SnapshotQueue& queue() { return *queue_; }

private:
    BufferedReader(std::unique_ptr<SnapshotQueue> q, std::shared_ptr<CancelToken> c)
        : queue_(std::move(q)), cancel_(std::move(c)) {}
    std::unique_ptr<SnapshotQueue> queue_;
    std::shared_ptr<CancelToken> cancel_;
    std::thread thread_;
};

}  // namespace ahrs
