#pragma once
// A live reader's recording: every byte received, appended as it arrives,
// as ahrs-record --raw writes it, and for a regular file the host-time
// sidecar PATH.times (protocol/time_sidecar.hpp) with the instants of each read.
// Nothing here ever blocks the reader: both files are written without
// blocking, and what they do not take at once waits in memory up to a
// bound. A failed write, or a reader of the recording that falls that far
// behind, stops the recording (both files) for good and keeps the reason;
// the stream goes on.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"
#include "../protocol/time_sidecar.hpp"
#include "waiting_output.hpp"

namespace ahrs {

// Which file an open failed on.
struct RecorderOpenError {
    std::string path;
    IoError error;
};

class Recorder {
public:
    // Bytes that may wait for a slow reader of the recording.
    static constexpr std::size_t kMaxWaiting = std::size_t{4} << 20;

    // Opens or creates the file (and its sidecar) without truncating: that
    // waits for begin(), once the device is there. A FIFO that no process
    // reads is an error (ENXIO), not a wait.
    static Result<std::unique_ptr<Recorder>, RecorderOpenError> open(const std::string& path);
    // Empties the files and starts the sidecar. A recorder never begun
    // removes at finish() the files that open() created.
    Status<RecorderOpenError> begin(const std::string& path);
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The recording's descriptor, to tell what it is.
    int fd() const { return data_.fd(); }

    // The bytes of one read that returned at those instants (CLOCK_MONOTONIC,
    // CLOCK_REALTIME). Returns the bytes taken: all, or none once stopped.
    std::size_t write(std::span<const std::uint8_t> bytes, std::uint64_t monotonic_ns, std::uint64_t realtime_ns);
    // Writes out what waits, giving up on a reader that takes nothing for a
    // second. Called once the reader has stopped.
    void finish();
    // Why the recording stopped; nothing while it goes on.
    std::optional<std::string> error();

private:
    Recorder(int data_fd, int times_fd) : data_(data_fd), times_(times_fd) {}
    void fail(std::string why);
    bool take(std::span<const std::uint8_t> bytes, std::uint64_t monotonic_ns, std::uint64_t realtime_ns);

    WaitingOutput data_;
    WaitingOutput times_;  // fd -1 when the recording is no regular file
    TimeSidecarEncoder encoder_;
    std::vector<std::uint8_t> entry_;
    std::uint64_t length_ = 0;
    std::vector<std::string> created_;
    bool begun_ = false;
    std::atomic<bool> failed_{false};
    std::mutex mu_;
    std::string error_;
};

}  // namespace ahrs
