#include "recording_scan.hpp"

#include "../device/files.hpp"

namespace ahrs {
namespace {

bool out_of_data(const PacketError& e) {
    return e.io_error() && e.io_error()->kind() == IoKind::UnexpectedEof && e.io_error()->shape() != IoError::Shape::Os;
}

// The file itself failed, or a signal's handler asked the wait to end: no
// more of the recording can be had.
bool source_failed(const PacketError& e) {
    return e.io_error() && (e.io_error()->shape() == IoError::Shape::Os || is_interruption(*e.io_error()));
}

}  // namespace

Result<RecordingScan, IoError> RecordingScan::open(std::string_view path, InterruptCheck interrupt) {
    auto file = FileSource::open(path, interrupt);
    if (!file) return err(std::move(file).error());
    return RecordingScan(std::move(*file), interrupt);
}

Result<ScanEvent, IoError> RecordingScan::next() {
    if (end_) return ScanEvent{*end_};
    if (pending_) {
        ScanEvent e{std::move(*pending_)};
        pending_.reset();
        return e;
    }
    for (unsigned attempts = 1;; ++attempts) {
        if (attempts % kAttemptsPerPause == 0) return ScanEvent{ScanPause{}};
        const std::uint64_t start = input_.position();
        auto packet = input_.next_packet(interrupts_);
        if (packet) {
            input_.accept();
            const std::uint64_t gap = start - good_end_;
            const std::uint64_t gap_start = good_end_;
            good_end_ = start + 6 + packet->bytes().size();
            cut_short_ = false;
            ScannedPacket found{start, std::move(*packet)};
            if (gap == 0) return ScanEvent{std::move(found)};
            pending_ = std::move(found);
            return ScanEvent{DamagedRun{gap_start, gap}};
        }
        const PacketError& e = packet.error();
        if (source_failed(e)) return err(*e.io_error());
        if (e.is_bare_io()) return at_end(start);
        if (out_of_data(e)) cut_short_ = true;
        input_.resync();
    }
}

// The data ended where an attempt wanted its sync bytes: what is left after
// the last packet is at most one byte, which starts a packet only if it is
// the first sync byte.
Result<ScanEvent, IoError> RecordingScan::at_end(std::uint64_t attempt_start) {
    const std::uint64_t size = input_.read_end();
    const bool truncated = cut_short_ || (size > attempt_start && starts_packet(attempt_start));
    end_ = ScanEnd{size, truncated};
    if (size == good_end_) return ScanEvent{*end_};
    const DamagedRun run{good_end_, size - good_end_};
    good_end_ = size;
    return ScanEvent{run};
}

bool RecordingScan::starts_packet(std::uint64_t attempt_start) {
    std::uint8_t b = 0;
    if (!input_.seek(attempt_start)) return false;
    auto got = input_.read({&b, 1}, interrupts_);
    return got && *got == 1 && b == kSync1;
}

}  // namespace ahrs
