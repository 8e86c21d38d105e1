#pragma once
// The export forms of export_text.hpp, the same bytes, laid out for speed
// from a packet's digits: record labels and separators are copied as
// fixed-size pieces into a character buffer that the caller reuses.
#include <cstdint>
#include <span>

#include "packet_digits.hpp"
#include "record_text.hpp"

namespace ahrs {

// What one packet's JSON line or CSV row may need at the write position: a
// payload holds at most 63 records, and no record needs more than
// kRecordRoom.
constexpr std::size_t kExportRoom = 64 * kRecordRoom + 256;

// As append_jsonl, for the records in the packet (decode with the wanted
// mask). Returns the end of the text.
char* write_jsonl(char* out, std::uint64_t offset, Descriptor set, const PacketDigits& packet);

// As append_csv_row; `columns` are slots in catalogue order.
char* write_csv_row(char* out, std::uint64_t index, std::uint64_t offset, std::span<const std::size_t> columns,
                    const PacketDigits& packet);

}  // namespace ahrs
