#pragma once
// The export forms of a packet, laid out for speed from its digits: a JSON
// object per packet (one line of a JSON Lines file) and a row of a CSV table
// per descriptor set, floats in Python's layout at their wire width, flags
// as Valid and Invalid, a record that occurs twice written once (its last
// occurrence, as in the snapshot map), non-finite floats null in JSON; the
// packet's time (packet_time) beside its offset. The text: record labels and separators are copied as
// fixed-size pieces into a character buffer that the caller reuses.
#include <cstdint>
#include <span>
#include <string>

#include "packet_digits.hpp"
#include "record_text.hpp"

namespace ahrs {

// What one packet's JSON line or CSV row may need at the write position: a
// payload holds at most 63 records, and no record needs more than
// kRecordRoom.
constexpr std::size_t kExportRoom = 64 * kRecordRoom + 256;

// {"offset": 0, "time": 1418256000.0, "set": "DataSensor", "readings": {"ScaledAccVector": {"x": 1.0, ...}}}
// and a newline, for the records in the packet (decode with the wanted
// mask). Returns the end of the text.
char* write_jsonl(char* out, std::uint64_t offset, Descriptor set, const PacketDigits& packet);

// packet,offset,time, then Record.item for every item of every column record.
void append_csv_header(std::string& out, std::span<const std::size_t> columns);
// The packet's row: a record it lacks leaves its cells empty; `columns` are
// slots in catalogue order.
char* write_csv_row(char* out, std::uint64_t index, std::uint64_t offset, std::span<const std::size_t> columns,
                    const PacketDigits& packet);

}  // namespace ahrs
