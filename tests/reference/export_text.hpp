#pragma once
// The export forms of one packet's readings, written plainly from its
// Reading values: the reference that the fast layouts (text_layout.hpp)
// are checked against. A JSON object per packet (one line of a JSON Lines
// file) and a row of a CSV table per descriptor set.
// Floats are written by append_repr at their wire width; validity flags as
// Valid and Invalid. A record that occurs twice in one packet is written
// once, its last occurrence in the place of its first (an object has one
// value per key, a row one cell per column). The packet's time follows its
// offset: GPS week * 604800 + time of week, NaN (JSON null) without one.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/packet_view.hpp"
#include "protocol/record_row.hpp"

namespace ahrs {

// {"offset": 0, "time": 1418256000.0, "set": "DataSensor", "readings": {"ScaledAccVector": {"x": 1.0, ...}}}
// and a newline. Only the records in `keep`; not-a-number and the
// infinities, which JSON cannot hold, are null.
void append_jsonl(std::string& out, std::uint64_t offset, Descriptor set, std::span<const Reading> readings,
                  const RecordMask& keep);

// The packet's row: a record it lacks leaves its cells empty.
void append_csv_row(std::string& out, std::uint64_t packet, std::uint64_t offset, std::span<const std::size_t> columns,
                    std::span<const Reading> readings);

}  // namespace ahrs
