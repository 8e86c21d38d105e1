#pragma once
// Blocks of text written to a descriptor by a thread of their own, so that
// the kernel's share of the work (copying into the page cache, and emptying
// a file that held an earlier export) runs beside the making of the next
// block. One block is under way at a time; the first failure sticks. A wait
// for the writer (an output pipe nobody empties) gives way to Ctrl-C like
// every other wait of the driver: the block is abandoned.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"
#include "../device/interrupts.hpp"

namespace ahrs {

class BlockWriter {
public:
    // `empty_first`: the file is emptied before the first block, and when
    // none comes, before the writer goes. The owner's waits for the writer
    // give way to `interrupt`: a writer serves one call of the host.
    BlockWriter(int fd, bool empty_first, InterruptCheck interrupt);
    // The writer's thread could be started; when not, every call fails.
    Status<IoError> started() const;
    // Waits for the block under way, or abandons it when a wait was
    // interrupted.
    ~BlockWriter();
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Waits for the block under way, then starts writing this one, whose
    // bytes must stay untouched until the next call. Returns the outcome of
    // the blocks before.
    Status<IoError> start(const char* data, std::size_t size);
    // Waits until every block started is written; their outcome.
    Status<IoError> wait();

private:
    void run();
    std::optional<IoError> write_block(const char* data, std::size_t size);
    Status<IoError> outcome() const;
    // Waits until no block is under way; interrupted() if a signal's
    // handler asked the wait to end, and the block is then abandoned.
    Status<IoError> wait_idle(std::unique_lock<std::mutex>& lock);

    const int fd_;
    const bool bounded_;  // writes of at most PIPE_BUF, each after room was seen
    const InterruptCheck interrupt_;
    bool empty_first_;  // touched by the thread only, once it runs
    std::mutex mutex_;
    std::condition_variable changed_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool pending_ = false;
    bool closing_ = false;
    std::optional<IoError> error_;
    CancelToken abandon_;
    std::thread thread_;  // started once the rest is ready
};

}  // namespace ahrs
