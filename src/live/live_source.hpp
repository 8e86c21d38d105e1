#pragma once
// A live reader's view of its serial device: each read is stamped with both
// clocks, counted and, when recording, written out before any of its bytes
// is framed, so the recording holds everything received.
//
// Whoever leads the stream reads through it, the reader thread or a waiting
// consumer, one after the other. A read waits for a first byte until the
// line has been quiet for the serial time-out, counted from the last bytes
// (or the last time-out) whoever read them, so a stream that changes hands
// times out as one reader's would. A consumer also cuts its reads at its own
// deadline: such a read ends as if cancelled, and is no time-out.
#include <chrono>
#include <cstdint>
#include <memory>

#include "../device/files.hpp"
#include "live_counters.hpp"
#include "recorder.hpp"
#include "../device/serial_device.hpp"

namespace ahrs {

class LiveSource final : public ChunkSource {
public:
    LiveSource(std::unique_ptr<SerialDevice> device, Recorder* recorder, LiveCounters& counters)
        : device_(std::move(device)), recorder_(recorder), counters_(counters) {}

    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) override;
    std::size_t chunk_size() const override { return device_->chunk_size(); }

    // Reads from now on end, with a time-out error, at `until` at the latest.
    void cut_at(Deadline until) {
        cut_at_ = until;
        cut_ = false;
    }
    // Whether a read ended at that deadline since cut_at().
    bool cut() const { return cut_; }

    int fd() const { return device_->fd(); }

    // When the last read returned.
    std::uint64_t host_ns() const { return host_ns_; }
    std::uint64_t wall_ns() const { return wall_ns_; }

private:
    std::unique_ptr<SerialDevice> device_;
    Recorder* recorder_;
    LiveCounters& counters_;
    std::uint64_t host_ns_ = 0;
    std::uint64_t wall_ns_ = 0;
    Deadline quiet_from_ = std::chrono::steady_clock::now();
    Deadline cut_at_ = Deadline::max();
    bool cut_ = false;
};

// Nanoseconds of a clock_gettime(2) clock.
std::uint64_t clock_ns(int clock);

}  // namespace ahrs
