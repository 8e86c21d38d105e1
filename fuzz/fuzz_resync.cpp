// The port's resynchronisation on a stream of valid packets and garbage
// that holds no 0x75, perhaps with a false header near its end, delivered in
// random chunks with interrupted reads and time-outs anywhere, inside
// packets too: every packet must come out once, in order, and nothing else.
//
// Why nothing else can come out: an attempt that starts on garbage reads two
// bytes and fails on the sync pair; the next attempt starts at the second
// byte if it is 0x75 (then it is a packet's first byte) or after it. An
// attempt that starts on a packet reads it whole, or is cut by a time-out
// and made again. So attempts start only on garbage or on packet starts,
// never inside a packet. The false header claims more bytes than the stream
// has left, so its attempt never reaches a checksum that might match by
// chance: it runs dry, and restarts at the next packet once one stands
// whole among the bytes it read.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "fuzz_support.hpp"

namespace {

using namespace ahrs;
using fuzz::Bytes;

constexpr std::array<std::uint8_t, 16> kSets = {0x01, 0x0C, 0x0D, 0x0E, 0x0F, 0x7F, 0x80, 0x81,
                                                0x82, 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0xA0};
constexpr std::size_t kMaxStalls = 64;

struct Recipe {
    Bytes stream;
    std::vector<Bytes> packets;
    std::size_t chunk;
    std::uint64_t seed;
    unsigned stall_shift;  // a read stalls with odds 1 in 2^shift; 0: never
};

Recipe cook(FuzzedDataProvider& in) {
    Recipe r;
    r.chunk = in.ConsumeIntegralInRange<std::size_t>(1, 1024);
    r.seed = in.ConsumeIntegral<std::uint64_t>();
    r.stall_shift = in.ConsumeIntegralInRange<unsigned>(0, 4);
    const bool false_start = in.ConsumeBool();
    const auto false_set = kSets[in.ConsumeIntegralInRange<std::size_t>(0, kSets.size() - 1)];
    std::vector<std::size_t> boundaries;  // where each piece of the stream starts
    while (in.remaining_bytes() > 0) {
        boundaries.push_back(r.stream.size());
        if (in.ConsumeBool()) {
            auto garbage = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 16));
            std::replace(garbage.begin(), garbage.end(), kSync1, kSync2);
            r.stream.insert(r.stream.end(), garbage.begin(), garbage.end());
        } else {
            const auto set =
                static_cast<Descriptor>(kSets[in.ConsumeIntegralInRange<std::size_t>(0, kSets.size() - 1)]);
            auto payload = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint8_t>());
            // A packet inside a packet would rightly be taken for the real
            // one by an attempt paused after it.
            if (fuzz::packet_stands_after(fuzz::packet_bytes(set, payload)))
                std::replace(payload.begin(), payload.end(), kSync1, kSync2);
            r.packets.push_back(fuzz::packet_bytes(set, payload));
            r.stream.insert(r.stream.end(), r.packets.back().begin(), r.packets.back().end());
        }
    }
    boundaries.push_back(r.stream.size());
    // At the earliest boundary from which a 255-byte claim overruns the end.
    const auto late =
        std::find_if(boundaries.begin(), boundaries.end(), [&](std::size_t b) { return r.stream.size() - b < 255; });
    if (false_start) {
        const Bytes header = {kSync1, kSync2, false_set, 0xFF};
        r.stream.insert(r.stream.begin() + static_cast<std::ptrdiff_t>(*late), header.begin(), header.end());
    }
    return r;
}

// The stream as a serial line would deliver it: random amounts per read,
// now and then an interrupted read or a time-out instead of data.
class Delivery final : public ChunkSource {
public:
    explicit Delivery(const Recipe& r) : r_(r), rng_(r.seed) {}

    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts&) override {
        FUZZ_CHECK(!dst.empty());
        // The buffer keeps at most one packet besides the chunk it asks for.
        FUZZ_CHECK(dst.size() <= r_.chunk + kMaxPacketSize);
        if (stalls_ < kMaxStalls && r_.stall_shift && next() % (1u << r_.stall_shift) == 0) {
            ++stalls_;
            if (next() % 2) return err(fuzz::timed_out());
            return err(IoError::os(EINTR));
        }
        const std::size_t step = next() % 2 ? 1 + next() % 4 : 1 + next() % r_.chunk;
        const std::size_t n = std::min({dst.size(), r_.stream.size() - pos_, step});
        std::copy_n(r_.stream.begin() + static_cast<std::ptrdiff_t>(pos_), n, dst.begin());
        pos_ += n;
        return n;
    }
    std::size_t chunk_size() const override { return r_.chunk; }

private:
    std::uint64_t next() { return rng_.next(); }
    const Recipe& r_;
    std::size_t pos_ = 0;
    std::size_t stalls_ = 0;
    fuzz::Lcg rng_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const Recipe recipe = cook(in);

    AttemptBuffer input(std::make_unique<Delivery>(recipe));
    const auto outcomes = fuzz::run_attempts(input, recipe.stream.size() + 3 + kMaxStalls,
                                             [](const IoError& e) { return e.kind() == IoKind::UnexpectedEof; });
    std::vector<Bytes> packets;
    for (const auto& o : outcomes)
        if (o.packet) packets.push_back(o.bytes);
    FUZZ_CHECK(packets == recipe.packets);
    return 0;
}
