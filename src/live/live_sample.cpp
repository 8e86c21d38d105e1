#include "live_sample.hpp"

#include <cstring>

namespace ahrs {

bool append_sample_rows(SampleTables& out, SampleTables& scratch, const LiveSample& s) {
    FlatPacket flat;
    decode_flat(s.packet.descriptor(), s.packet.bytes(), flat);
    if (!append_packet_rows(scratch, flat, s.index, s.offset)) {
        for (RowBuffer& rows : scratch) rows.drop(rows.size());
        return false;
    }
    RecordMask present;
    for (std::size_t r = 0; r < flat.record_count; ++r) present.set(flat.records[r].slot);
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        if (!present[slot]) continue;
        RowBuffer& rows = scratch[slot];
        const std::size_t width = row_size(slot_spec(slot));
        for (std::size_t at = 0; at < rows.size(); at += width) {
            std::uint8_t* dst = out[slot].grow(width + sizeof s.host_ns + sizeof s.time_ns);
            if (!dst) return false;
            std::memcpy(dst, rows.data() + at, width);
            std::memcpy(dst + width, &s.host_ns, sizeof s.host_ns);
            std::memcpy(dst + width + sizeof s.host_ns, &s.time_ns, sizeof s.time_ns);
        }
        rows.drop(rows.size());
    }
    return true;
}

}  // namespace ahrs
