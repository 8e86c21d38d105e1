#pragma once
// A descriptor written without ever blocking the thread that writes: what
// the descriptor does not take at once waits in memory, up to a bound, and
// goes out on the next write. A reader that stalls (a pipe nobody drains)
// costs memory up to the bound, never the writer's time.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../protocol/errors.hpp"

namespace ahrs {

class WaitingOutput {
public:
    // Takes `fd` (opened O_NONBLOCK); -1 for an output that takes nothing.
    explicit WaitingOutput(int fd) : fd_(fd) {}
    ~WaitingOutput();
    WaitingOutput(const WaitingOutput&) = delete;
    WaitingOutput& operator=(const WaitingOutput&) = delete;

    int fd() const { return fd_; }
    std::size_t waiting() const { return buffer_.size() - head_; }

    // Queues `bytes` behind what waits and writes as much as goes out now.
    std::optional<IoError> put(std::span<const std::uint8_t> bytes);
    // Writes what waits, without blocking.
    std::optional<IoError> flush();
    // Writes what waits, waiting while the descriptor keeps taking bytes but
    // no longer than `idle_ms` at a time with none taken; `complete` says
    // whether nothing was left.
    std::optional<IoError> drain(int idle_ms, bool& complete);

private:
    int fd_;
    std::vector<std::uint8_t> buffer_;
    std::size_t head_ = 0;  // bytes of buffer_ already written
};

}  // namespace ahrs
