#include "buffered_layout.hpp"

#include <chrono>
#include <optional>
#include <string_view>

#include "../device/errors.hpp"
#include "../device/console.hpp"
#include "../device/port.hpp"
#include "../device/serial_device.hpp"
#include "../device/interrupts.hpp"

namespace ahrs {
namespace {

// The reader's own lines wait for room together with its cancellation: a
// standard error that nobody reads cannot hold the thread past its stop.
// Printing is best effort: the thread ends anyway.
void say(std::string_view line, const Interrupts& interrupts) { (void)write_text(Stream::Err, line, interrupts); }

// A reader's last words.
void report(std::string_view what, const Interrupts& interrupts) {
    say("tavrin_ahrs_driver reader thread stopped: " + std::string(what) + "\n", interrupts);
}

// Milliseconds since the Unix epoch, or nothing for a clock set before it.
std::optional<std::uint64_t> now_ms() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    if (since.count() < 0) return std::nullopt;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

}  // namespace

std::shared_ptr<BufferedLayout> BufferedLayout::create(std::size_t buffer_size, bool verbose) {
    auto queue = SnapshotQueue::create({buffer_size, Overflow::Block, true, false, false});
    if (!queue) return nullptr;
    try {
        return std::shared_ptr<BufferedLayout>(new BufferedLayout(std::move(queue), verbose));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

LiveSettings BufferedLayout::settings(std::string device, std::uint32_t baud_rate,
                                      std::shared_ptr<BufferedLayout> layout) {
    LiveSettings s;
    s.path = std::move(device);
    s.baud = baud_rate;
    s.configure = false;
    s.reconnect = false;
    s.layout = std::move(layout);
    s.open_in_thread = true;
    return s;
}

void BufferedLayout::open_failed(const SerialError& e, const Interrupts& interrupts) {
    report("Failed to open port: " + AHRSError::from_serial(e).debug(), interrupts);
}

bool BufferedLayout::before_attempt(const Interrupts& interrupts) {
    return !dead_ || sleep_until(std::chrono::steady_clock::now() + kSerialTimeout, interrupts).ok();
}

bool BufferedLayout::packet(const MipPacket& packet, const Interrupts& interrupts) {
    decode_flat(packet.descriptor(), packet.bytes(), flat_);
    item_.map.assign(flat_);
    return send(interrupts);
}

// A bad packet is an attempt that read an empty list: an empty snapshot.
bool BufferedLayout::failed(AttemptBuffer& input, const PacketError& e, const Interrupts& interrupts) {
    auto r = end_failed_attempt(input, e, interrupts, true, dead_);
    if (r) {
        item_.map.clear();
        return send(interrupts);
    }
    const auto* a = std::get_if<AHRSError>(&r.error());
    if (!a) return false;  // diagnostics can no longer be written
    switch (a->cause()) {
        case AHRSError::Cause::Cancelled:
        case AHRSError::Cause::Interrupted: return false;
        case AHRSError::Cause::Disconnected: report("Device disconnected: " + a->debug(), interrupts); return false;
        case AHRSError::Cause::Other: break;
    }
    if (verbose_) say("Error parsing packet: " + a->debug() + "\n", interrupts);
    return true;
}

// An allocation that fails ends the reader, not the process: the port is
// closed on the way out and what is queued stays takeable. The report is a
// fixed text, since there may be no memory to build one.
void BufferedLayout::stopped(bool out_of_memory, const Interrupts& interrupts) {
    say(out_of_memory ? "tavrin_ahrs_driver reader thread stopped: out of memory\n"
                      : "tavrin_ahrs_driver reader thread stopped: internal failure\n",
        interrupts);
}

bool BufferedLayout::send(const Interrupts& interrupts) {
    const auto stamp = now_ms();
    if (!stamp) {
        report("Time went backwards: SystemTimeError(clock is before the Unix epoch)", interrupts);
        return false;
    }
    item_.timestamp_ms = *stamp;
    return queue_->push(item_);  // false: stopped by the owner
}

}  // namespace ahrs
