#include "live_stream.hpp"

#include "../device/interrupts.hpp"

namespace ahrs {
namespace {

bool bad_checksum(const PacketError& e) {
    return e.kind() == PacketError::Kind::AssertFail && e.message().starts_with("bad checksum");
}

std::unique_ptr<LiveSource> source_of(std::unique_ptr<SerialDevice> device, Recorder* recorder, LiveCounters& counters,
                                      LiveSource*& raw) {
    auto source = std::make_unique<LiveSource>(std::move(device), recorder, counters);
    raw = source.get();
    return source;
}

}  // namespace

LiveStream::LiveStream(std::unique_ptr<SerialDevice> device, Recorder* recorder, LiveCounters& counters,
                       LiveLayout* layout)
    : counters_(counters),
      layout_(layout),
      source_(nullptr),
      input_(source_of(std::move(device), recorder, counters, source_)),
      // Offsets run on across reconnections, as the bytes do in a recording.
      base_(counters.bytes.load(std::memory_order_relaxed)) {}

// Bytes between the last well-formed packet and `start` (a true offset of
// this connection) were skipped.
void LiveStream::count_damage(std::uint64_t start) {
    if (start <= good_end_) return;
    LiveCounters::add(counters_.damaged_runs);
    LiveCounters::add(counters_.skipped_bytes, start - good_end_);
}

Result<FramedPacket, StreamPause> LiveStream::next(const Interrupts& interrupts, Deadline until) {
    source_->cut_at(until);
    for (;;) {
        if (layout_ && !layout_->before_attempt(interrupts))
            return err(StreamPause{StreamPause::Why::Cancelled, std::nullopt});
        const std::uint64_t start = input_.position();
        auto packet = input_.next_packet(interrupts);
        if (packet) {
            input_.accept();
            count_damage(start);
            good_end_ = start + 6 + packet->bytes().size();
            return FramedPacket{std::move(*packet), base_ + start, source_->host_ns(), source_->wall_ns()};
        }
        const PacketError& e = packet.error();
        const IoError* io = e.io_error();
        if (source_->cut() || (io && is_interruption(*io))) {
            input_.replay();
            return err(StreamPause{StreamPause::Why::Cut, std::nullopt});
        }
        if (io && is_cancellation(*io)) {
            input_.replay();
            return err(StreamPause{StreamPause::Why::Cancelled, std::nullopt});
        }
        if (layout_) {
            if (!layout_->failed(input_, e, interrupts))
                return err(StreamPause{StreamPause::Why::Cancelled, std::nullopt});
            continue;
        }
        if (io && io->shape() == IoError::Shape::Os) {
            // A packet cut by the loss never becomes a sample.
            count_damage(counters_.bytes.load(std::memory_order_relaxed) - base_);
            return err(StreamPause{StreamPause::Why::Lost, *io});
        }
        if (io && io->kind() == IoKind::TimedOut) LiveCounters::add(counters_.timeouts);
        else if (bad_checksum(e)) LiveCounters::add(counters_.checksum_failures);
        input_.fail(e);
    }
}

}  // namespace ahrs
