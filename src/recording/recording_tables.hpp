#pragma once
// A whole recording decoded into one packed table per record (see
// record_row.hpp), with the counts that say how whole the recording was.
#include <array>
#include <cstdint>
#include <vector>

#include "../protocol/record_row.hpp"
#include "host_clock_fit.hpp"
#include "offset_list.hpp"
#include "scan_loop.hpp"

namespace ahrs {

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
