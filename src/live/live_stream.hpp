#pragma once
// One connection's stream of packets: the device's bytes framed with the
// port's lossless resynchronisation, damage counted as it is met. Whoever
// leads the live reader frames the next packet through it; between two
// calls it holds every byte read and not yet framed, so the stream goes on
// from the same byte whichever thread makes the next call.
#include <cstdint>
#include <memory>
#include <optional>

#include "../device/attempt_buffer.hpp"
#include "../device/serial_device.hpp"
#include "../protocol/result.hpp"
#include "live_counters.hpp"
#include "live_layout.hpp"
#include "live_source.hpp"
#include "recorder.hpp"

namespace ahrs {

// A packet framed, where it lies in all the bytes received and when the
// read that completed it returned.
struct FramedPacket {
    MipPacket packet;
    std::uint64_t offset;
    std::uint64_t host_ns;
    std::uint64_t wall_ns;
};

// Why no packet came: the caller's deadline or a signal cut the wait (the
// bytes of the attempt are framed again by the next call), the reader was
// cancelled, or the device was lost (its error).
struct StreamPause {
    enum class Why : std::uint8_t { Cut, Cancelled, Lost } why;
    std::optional<IoError> lost;
};

class LiveStream {
public:
    // Its offsets run on from the bytes the counters say were received before.
    // A layout, when given, ends every failed attempt that nobody cut short.
    LiveStream(std::unique_ptr<SerialDevice> device, Recorder* recorder, LiveCounters& counters,
               LiveLayout* layout = nullptr);

    // The next packet, reading while `until` and `interrupts` let it.
    Result<FramedPacket, StreamPause> next(const Interrupts& interrupts, Deadline until);
    // The device's descriptor.
    int fd() const { return source_->fd(); }

private:
    void count_damage(std::uint64_t start);

    LiveCounters& counters_;
    LiveLayout* layout_;
    LiveSource* source_;
    AttemptBuffer input_;
    const std::uint64_t base_;
    std::uint64_t good_end_ = 0;  // one past the last well-formed packet
};

}  // namespace ahrs
