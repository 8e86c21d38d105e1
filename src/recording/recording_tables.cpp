#include "recording_tables.hpp"

#include <algorithm>
#include <new>

#include "../protocol/mip_packet.hpp"

namespace ahrs {

namespace {

bool keep_clock(std::vector<PacketClock>& clocks, const PacketClock& c) {
    try {
        clocks.push_back(c);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

Result<RecordingTables, ScanFailure> collect_tables(RecordingScan& scan, const ScanHook& hook, bool with_clocks) {
    RecordingTables t;
    FlatPacket flat;
    auto visit = [&](const ScanEvent& event) -> Status<IoError> {
        if (const auto* p = std::get_if<ScannedPacket>(&event)) {
            decode_flat(p->packet.descriptor(), p->packet.bytes(), flat);
            if (!append_packet_rows(t.rows, flat, t.packets, p->offset)) return err(IoError::bare(IoKind::OutOfMemory));
            const auto set = static_cast<std::uint8_t>(p->packet.descriptor());
            if (with_clocks &&
                !keep_clock(t.clocks, {p->offset + 6 + p->packet.bytes().size(), packet_time(flat), set}))
                return err(IoError::bare(IoKind::OutOfMemory));
            ++t.set_packets[set];
            ++t.packets;
        } else if (const auto* d = std::get_if<DamagedRun>(&event)) {
            t.skipped_bytes += d->size;
            if (!t.damaged.push(d->offset)) return err(IoError::bare(IoKind::OutOfMemory));
        } else {
            t.truncated = std::get<ScanEnd>(event).truncated;
        }
        return Unit{};
    };
    if (auto r = scan_all(scan, hook, visit); !r) return err(std::move(r).error());
    return t;
}

bool OffsetList::push(std::uint64_t offset) {
    const std::size_t at = size_ % kBlock;
    if (at == 0) {
        std::unique_ptr<std::uint64_t[]> block(new (std::nothrow) std::uint64_t[kBlock]);
        if (!block) return false;
        try {
            blocks_.push_back(std::move(block));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    blocks_.back()[at] = offset;
    ++size_;
    return true;
}

void OffsetList::move_to(std::uint64_t* dst) {
    for (auto& block : blocks_) {
        const std::size_t n = std::min(size_, kBlock);
        dst = std::copy_n(block.get(), n, dst);
        size_ -= n;
        block.reset();
    }
    blocks_.clear();
}

}  // namespace ahrs
