#pragma once
// A recording exported as text in one streaming pass (CSV: a second one
// only when some packet holds records the first packet of its set did not,
// see CsvWriter). Damaged packets are skipped and counted, never fatal.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "../protocol/record_row.hpp"
#include "recording_scan.hpp"

namespace ahrs {

enum class DumpFormat : std::uint8_t { Text, Jsonl, Csv };

struct DumpOptions {
    DumpFormat format = DumpFormat::Text;
    RecordMask records = RecordMask().set();  // which records to write
    // Text and JSON Lines: the file to write, standard output when empty.
    // CSV: the prefix of one file per descriptor set, OUT.DataSensor.csv.
    std::string out;
};

struct DumpSummary {
    std::uint64_t packets = 0;
    std::uint64_t damaged_runs = 0;
    std::uint64_t skipped_bytes = 0;
    bool truncated = false;
};

// A file that could not be read or written (with its path), or the hook
// said stop (no I/O error then).
struct DumpFailure {
    std::optional<IoError> io;
    std::string path;
};

// Opens, reads and writes give way to `interrupt` (a signal's handler asked
// the call to end): the failure then carries interrupted().
Result<DumpSummary, DumpFailure> dump_recording(std::string_view path, const DumpOptions& options, const ScanHook& hook,
                                                InterruptCheck interrupt);

}  // namespace ahrs
