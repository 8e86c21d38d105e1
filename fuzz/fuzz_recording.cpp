// A recording scanned as load() and ahrs-dump scan it: arbitrary bytes (after
// one byte that picks the read sizes), delivered in uneven chunks.
//
// - The packets and damaged runs tile the stream exactly, in order, each
//   packet written back byte for byte where it was found, no two runs side
//   by side, and the end reports the stream's size.
// - Lossless: no damaged run holds the start of a well-formed packet that
//   the stream holds whole (the scanner would have found it).
// - Truncation is reported only for a stream that ends in a damaged run.
// - Each packet's table rows straight from the wire equal those made from
//   its decoded readings, and its export texts laid out from its digits
//   equal those appended from the readings.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "recording/recording_scan.hpp"
#include "fuzz_support.hpp"
#include "protocol/flat_decode.hpp"
#include "protocol/text_layout.hpp"
#include "reference/export_text.hpp"
#include "reference/reading_text.hpp"
#include "protocol/record_row.hpp"
#include "reference/reference_decode.hpp"

namespace {

using namespace ahrs;
using fuzz::Bytes;

class Chunks final : public ChunkSource {
public:
    Chunks(std::span<const std::uint8_t> data, std::uint64_t seed) : data_(data), rng_(seed) {}
    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts&) override {
        const std::size_t n =
            std::min({dst.size(), data_.size() - pos_, static_cast<std::size_t>(1 + rng_.next() % 300)});
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), n, dst.begin());
        pos_ += n;
        return n;
    }
    std::size_t chunk_size() const override { return 256; }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    fuzz::Lcg rng_;
};

// Whether a well-formed packet starts at `at` and fits in the stream.
bool packet_at(std::span<const std::uint8_t> data, std::size_t at) {
    MemorySource src(data.subspan(at));
    return MipPacket::read(src).ok();
}

// The three layouts against the appended forms, in a buffer of exactly the
// room they may use.
void check_layouts(const MipPacket& packet, std::uint64_t index, std::uint64_t offset,
                   std::span<const std::size_t> columns, std::span<const Reading> readings) {
    static auto digits = std::make_unique<PacketDigits>();
    static std::vector<char> room(kExportRoom);
    decode_with_digits(packet.descriptor(), packet.bytes(), RecordMask().set(), *digits);
    auto laid_out = [&](char* end) { return std::string(room.data(), static_cast<std::size_t>(end - room.data())); };
    FUZZ_CHECK(laid_out(write_packet_line(room.data(), *digits)) == readings_text(readings) + "\n");
    std::string json, row;
    append_jsonl(json, offset, packet.descriptor(), readings, RecordMask().set());
    FUZZ_CHECK(laid_out(write_jsonl(room.data(), offset, packet.descriptor(), *digits)) == json);
    append_csv_row(row, index, offset, columns, readings);
    FUZZ_CHECK(laid_out(write_csv_row(room.data(), index, offset, columns, *digits)) == row);
}

// The reference decoder holds every item as a double, and widening a
// signalling NaN quiets it; the rows keep a float's bits as sent. So a
// float32 item that is NaN on both sides counts as equal.
bool same_rows(const RowBuffer& direct, const RowBuffer& reference, std::size_t slot) {
    if (direct.size() != reference.size()) return false;
    const auto& items = slot_spec(slot).items;
    std::size_t width = kRowHeader;
    for (const ItemSpec& item : items) width += row_width(item.type);
    for (std::size_t row = 0; row < direct.size(); row += width) {
        std::size_t at = row;
        if (!std::equal(direct.data() + at, direct.data() + at + kRowHeader, reference.data() + at)) return false;
        at += kRowHeader;
        for (const ItemSpec& item : items) {
            const std::size_t n = row_width(item.type);
            const bool equal = std::equal(direct.data() + at, direct.data() + at + n, reference.data() + at);
            if (!equal && item.type == WireType::F32) {
                float a, b;
                std::memcpy(&a, direct.data() + at, sizeof a);
                std::memcpy(&b, reference.data() + at, sizeof b);
                if (!(std::isnan(a) && std::isnan(b))) return false;
            } else if (!equal) {
                return false;
            }
            at += n;
        }
    }
    return true;
}

void check_rows(const MipPacket& packet, std::uint64_t index, std::uint64_t offset) {
    std::array<RowBuffer, kRecordSlots> direct, via_readings;
    static FlatPacket flat;
    decode_flat(packet.descriptor(), packet.bytes(), flat);
    FUZZ_CHECK(append_packet_rows(direct, flat, index, offset));
    std::vector<Reading> readings;
    append_readings(packet, readings);
    RecordMask held;
    for (const Reading& r : readings) {
        FUZZ_CHECK(append_row(via_readings[r.slot()], index, offset, packet_time(flat), r));
        held.set(r.slot());
    }
    FUZZ_CHECK(records_in(packet) == held);
    for (std::size_t s = 0; s < kRecordSlots; ++s) {
        FUZZ_CHECK(same_rows(direct[s], via_readings[s], s));
    }
    std::string text;
    append_jsonl(text, offset, packet.descriptor(), readings, RecordMask().set());
    std::vector<std::size_t> columns;
    for (std::size_t s = 0; s < kRecordSlots; ++s)
        if (held[s]) columns.push_back(s);
    append_csv_header(text, columns);
    append_csv_row(text, index, offset, columns, readings);
    FUZZ_CHECK(!text.empty() && text.back() == '\n');
    check_layouts(packet, index, offset, columns, readings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> data(raw + 1, size - 1);
    RecordingScan scan(std::make_unique<Chunks>(data, raw[0]));
    std::uint64_t at = 0, index = 0;
    bool last_was_run = false;
    for (std::size_t events = 0;; ++events) {
        FUZZ_CHECK(events <= 2 * data.size() + 2);
        auto e = scan.next();
        FUZZ_CHECK(e.ok());
        if (const auto* p = std::get_if<ScannedPacket>(&*e)) {
            FUZZ_CHECK(p->offset == at);
            const Bytes written = fuzz::packet_bytes(p->packet.descriptor(), p->packet.bytes());
            FUZZ_CHECK(std::equal(written.begin(), written.end(), data.begin() + static_cast<std::ptrdiff_t>(at)));
            check_rows(p->packet, index++, at);
            at += written.size();
            last_was_run = false;
        } else if (const auto* d = std::get_if<DamagedRun>(&*e)) {
            FUZZ_CHECK(d->offset == at && d->size > 0 && !last_was_run);
            for (std::uint64_t q = d->offset; q < d->offset + d->size; ++q) FUZZ_CHECK(!packet_at(data, q));
            at += d->size;
            last_was_run = true;
        } else if (const auto* end = std::get_if<ScanEnd>(&*e)) {
            FUZZ_CHECK(end->size == data.size() && at == data.size());
            FUZZ_CHECK(!end->truncated || last_was_run);
            break;
        }
    }
    return 0;
}
