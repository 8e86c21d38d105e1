// Arbitrary bytes through the packet reader (and framing in place), the
// decoder and the text form (and the recorded-stream line), read twice: from
// memory with true offsets (the recorded-stream path, and a plain statement
// of lossless resynchronisation), and through the port's attempt buffer in
// uneven chunks. In both the source falls silent for a while at the same
// offsets, anywhere in a packet. Both must agree attempt by attempt.
#include <algorithm>
#include <limits>
#include <set>

#include "fuzz_support.hpp"
#include "protocol/flat_decode.hpp"
#include "protocol/text_layout.hpp"
#include "protocol/packet_view.hpp"
#include "reference/reading_text.hpp"
#include "reference/reference_decode.hpp"
#include "protocol/snapshot_map.hpp"

namespace {

using namespace ahrs;
using fuzz::Outcome;

// Offsets where the source times out once, the first time the byte there is
// asked for, before handing it over.
class Pauses {
public:
    explicit Pauses(std::span<const std::uint8_t> data) {
        fuzz::Lcg rng(data.size() * 40503u + (data.empty() ? 0 : data[0]));
        const std::size_t spacing = 8 + rng.next() % 120;
        for (std::size_t at = rng.next() % spacing; at <= data.size(); at += 1 + rng.next() % spacing)
            pending_.insert(at);
    }
    // The next pause at or after `at`, or none (the largest size).
    std::size_t next(std::size_t at) const {
        const auto it = pending_.lower_bound(at);
        return it == pending_.end() ? std::numeric_limits<std::size_t>::max() : *it;
    }
    // Whether a read at `at` times out now; a pause is taken only once.
    bool take(std::size_t at) { return pending_.erase(at) == 1; }
    std::size_t count() const { return pending_.size(); }

private:
    std::set<std::size_t> pending_;
};

// A memory source that pauses where `pauses` says and remembers the
// furthest byte any read reached, which the packet reader's move back to
// the packet start hides.
class TrackingSource final : public ByteSource {
public:
    TrackingSource(std::span<const std::uint8_t> data, std::size_t start, Pauses& pauses)
        : inner_(data), furthest_(start), pauses_(pauses) {
        FUZZ_CHECK(inner_.seek(start).ok());
    }
    Result<std::size_t, IoError> read(std::span<std::uint8_t> dst) override {
        const auto at = static_cast<std::size_t>(*inner_.position());
        if (pauses_.take(at)) return err(fuzz::timed_out());
        auto n = inner_.read(dst.first(std::min(dst.size(), pauses_.next(at) - at)));
        if (n) furthest_ = std::max(furthest_, static_cast<std::size_t>(*inner_.position()));
        return n;
    }
    Result<std::uint64_t, IoError> position() override { return inner_.position(); }
    Status<IoError> seek(std::uint64_t pos) override { return inner_.seek(pos); }
    std::size_t furthest() const { return furthest_; }

private:
    MemorySource inner_;
    std::size_t furthest_;
    Pauses& pauses_;
};

// Hands out the data in chunks of uneven sizes, some a single byte, some
// larger than a packet, never across a pause.
class UnevenChunks final : public ChunkSource {
public:
    UnevenChunks(std::span<const std::uint8_t> data, Pauses pauses)
        : data_(data), pauses_(std::move(pauses)), rng_(data.size() * 2654435761u + 1) {}
    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts&) override {
        FUZZ_CHECK(!dst.empty());
        if (pauses_.take(pos_)) return err(fuzz::timed_out());
        const std::size_t n = std::min({dst.size(), data_.size() - pos_, next_step(), pauses_.next(pos_) - pos_});
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), n, dst.begin());
        pos_ += n;
        return n;
    }
    std::size_t chunk_size() const override { return 512; }

private:
    std::size_t next_step() {
        const auto r = static_cast<std::size_t>(rng_.next());
        return r & 1 ? 1 + (r >> 1) % 8 : 1 + (r >> 1) % 600;
    }
    std::span<const std::uint8_t> data_;
    Pauses pauses_;
    std::size_t pos_ = 0;
    fuzz::Lcg rng_;
};

void check_readings(const MipPacket& packet) {
    std::vector<Reading> readings;
    append_readings(packet, readings);
    std::string text;
    append_readings_text(text, readings);
    FUZZ_CHECK(text.front() == '[' && text.back() == ']');
    FUZZ_CHECK(text == readings_text(to_sensor_readings_with_options(packet)));
    static PacketLine line;  // the recorded-stream line, decoded its own way
    FUZZ_CHECK(line.build(packet.descriptor(), packet.bytes()) == text + "\n");
    const auto snapshot = process_readings(readings);
    FUZZ_CHECK(snapshot.empty() == readings.empty());
    for (const auto& r : readings) FUZZ_CHECK(snapshot.find(r.name()) != nullptr);
    FlatPacket flat;  // the snapshot laid out from the flat decoding is the same
    decode_flat(packet.descriptor(), packet.bytes(), flat);
    SnapshotMap from_flat;
    from_flat.assign(flat);
    FUZZ_CHECK(from_flat.type() == snapshot.type());
    FUZZ_CHECK(std::equal(from_flat.readings().begin(), from_flat.readings().end(), snapshot.readings().begin(),
                          snapshot.readings().end()));
}

// The failure must name what the bytes at `start` really hold, and the
// reader must have moved back to `start`. The source gives out at `pause`
// (a time-out) or at the end of the data, whichever comes first.
void check_failure(const PacketError& e, const std::string& text, std::span<const std::uint8_t> data, std::size_t start,
                   std::size_t pause, ByteSource& src) {
    FUZZ_CHECK(*src.position() == start);
    FUZZ_CHECK(text.find(e.base_text()) != std::string::npos);
    FUZZ_CHECK(e.is_bare_io() == (std::min(pause, data.size()) - start < 2));
    if (e.is_bare_io()) {
        FUZZ_CHECK(text == (pause <= data.size() ? "Operation timed out" : "failed to fill whole buffer"));
        return;
    }
    const bool sync = data[start] == kSync1 && data[start + 1] == kSync2;
    FUZZ_CHECK((e.kind() == PacketError::Kind::BadMagic) == !sync);
    switch (e.kind()) {
        case PacketError::Kind::BadMagic:
            FUZZ_CHECK(e.position() == start && e.found()[0] == data[start] && e.found()[1] == data[start + 1]);
            break;
        case PacketError::Kind::NoVariantMatch:
            FUZZ_CHECK(e.position() == start + 2 && !descriptor_from_byte(data[start + 2]));
            break;
        case PacketError::Kind::AssertFail:
            FUZZ_CHECK(e.position() == start && e.message().starts_with("bad checksum: "));
            break;
        case PacketError::Kind::Io: FUZZ_CHECK(e.frames().size() == 1); break;
    }
}

// Every attempt on bytes in memory, each restarted where lossless
// resynchronisation says: after a packet; at the same place when the source
// ran dry (a time-out or the end of data) and no sound packet stands at a
// later 0x75 among the bytes read; otherwise at the first 0x75 after a
// failed attempt's first byte among the bytes it read, or after them all.
// Ends with an attempt that would stay where it is for ever.
std::vector<Outcome> reference_attempts(std::span<const std::uint8_t> data, Pauses pauses) {
    std::vector<Outcome> outcomes;
    std::size_t start = 0;
    for (;;) {
        const std::size_t pause = pauses.next(start);
        TrackingSource src(data, start, pauses);
        auto r = MipPacket::read(src);
        outcomes.push_back(fuzz::outcome_of(r));
        // Framing in place takes exactly the packets the reader takes from
        // the bytes at hand before the source falls silent.
        const auto view = whole_packet_at(data.subspan(start, std::min(pause, data.size()) - start));
        FUZZ_CHECK(view.has_value() == r.ok());
        if (r) {
            FUZZ_CHECK(view->descriptor == r->descriptor() && view->payload.size() == r->bytes().size() &&
                       std::equal(view->payload.begin(), view->payload.end(), r->bytes().begin()));
            const auto& rewritten = outcomes.back().bytes;
            FUZZ_CHECK(rewritten.size() == 6 + r->bytes().size());
            FUZZ_CHECK(
                std::equal(rewritten.begin(), rewritten.end(), data.begin() + static_cast<std::ptrdiff_t>(start)));
            FUZZ_CHECK(*src.position() == start + rewritten.size());
            check_readings(*r);
            start += rewritten.size();
            continue;
        }
        check_failure(r.error(), outcomes.back().text, data, start, pause, src);
        const IoError* io = r.error().io_error();
        const bool ran_dry = io && (io->kind() == IoKind::TimedOut || io->kind() == IoKind::UnexpectedEof);
        FUZZ_CHECK(ran_dry || !r.error().is_bare_io());
        if (ran_dry && !fuzz::packet_stands_after(data.subspan(start, src.furthest() - start))) {
            if (io->kind() == IoKind::UnexpectedEof) return outcomes;
            continue;
        }
        const auto first = data.begin() + static_cast<std::ptrdiff_t>(start);
        const auto last = data.begin() + static_cast<std::ptrdiff_t>(src.furthest());
        start = static_cast<std::size_t>(std::find(first + 1, last, kSync1) - data.begin());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const Pauses pauses(bytes);
    const auto expected = reference_attempts(bytes, pauses);

    AttemptBuffer input(std::make_unique<UnevenChunks>(bytes, pauses));
    const auto got = fuzz::run_attempts(input, size + 2 + pauses.count(),
                                        [](const IoError& e) { return e.kind() == IoKind::UnexpectedEof; });
    FUZZ_CHECK(got == expected);
    return 0;
}
