#pragma once
// A second, plain decoder that walks the wire into Reading values one field
// at a time, and the table rows written from those values: the reference
// that the one decoder (flat_decode.hpp) and its row layout are checked
// against.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/mip_packet.hpp"
#include "protocol/record_row.hpp"

namespace ahrs {

// Decodes one field body (field descriptor byte, then the record data) as a
// record of the given set; nothing when the body is not decodable.
std::optional<Reading> decode_record(ReadingKind kind, std::span<const std::uint8_t> body);
// One reading per field that decodes, in field order.
void append_readings(const MipPacket& packet, std::vector<Reading>& out);

// The reading as one row of its table (record_row.hpp), with the packet's
// time. False when memory is out.
bool append_row(RowBuffer& rows, std::uint64_t packet, std::uint64_t offset, double time, const Reading& r);
// The records the packet holds.
RecordMask records_in(const MipPacket& packet);

}  // namespace ahrs
