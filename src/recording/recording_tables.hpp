#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "../protocol/record_row.hpp"
#include "host_clock_fit.hpp"
#include "recording_scan.hpp"

namespace ahrs {

// A long list of byte offsets kept in blocks of a fixed size. A crafted file
// can hold millions of damaged runs; a vector would copy them all at each
// growth (and hold both copies meanwhile), where blocks are only added, and
// can be handed over and freed one at a time.
class OffsetList {
public:
    static constexpr std::size_t kBlock = 1 << 15;

    // False when memory is out (nothing is added then).
    bool push(std::uint64_t offset);
    std::size_t size() const { return size_; }
    // Copies every offset into `dst` (room for size()), freeing each block
    // once copied; the list is empty afterwards.
    void move_to(std::uint64_t* dst);

private:
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
    std::size_t size_ = 0;
};

// A whole recording decoded into one packed table per record (see
// record_row.hpp), with the counts that say how whole the recording was.
struct RecordingTables {
    std::array<RowBuffer, kRecordSlots> rows;  // by record slot
    std::array<std::uint64_t, 256> set_packets{};               // by descriptor-set byte
    std::uint64_t packets = 0;                                  // well-formed ones
    std::uint64_t skipped_bytes = 0;
    OffsetList damaged;  // offset of each damaged run
    bool truncated = false;
    std::vector<PacketClock> clocks;  // per well-formed packet, when asked for
};

// Running out of memory is an I/O error of kind OutOfMemory. `with_clocks`
// keeps each packet's end, time and set for fit_host_clock().
Result<RecordingTables, ScanFailure> collect_tables(RecordingScan& scan, const ScanHook& hook,
                                                    bool with_clocks = false);

}  // namespace ahrs
