#pragma once
// A live reader's view of its serial device: each read is stamped with both
// clocks, counted and, when recording, written out before any of its bytes
// is framed, so the recording holds everything received.
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

    // When the last read returned.
    std::uint64_t host_ns() const { return host_ns_; }
    std::uint64_t wall_ns() const { return wall_ns_; }

private:
    std::unique_ptr<SerialDevice> device_;
    Recorder* recorder_;
    LiveCounters& counters_;
    std::uint64_t host_ns_ = 0;
    std::uint64_t wall_ns_ = 0;
};

// Nanoseconds of a clock_gettime(2) clock.
std::uint64_t clock_ns(int clock);

}  // namespace ahrs
