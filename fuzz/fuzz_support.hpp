#pragma once
// Pieces the fuzz targets share: a check that survives NDEBUG, a sink that
// collects bytes, a chunked source over memory and the attempt loop the port
// runs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "device/attempt_buffer.hpp"
#include "protocol/mip_packet.hpp"

#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// A tiny deterministic generator, so a crashing input replays the same chunks.
class Lcg {
public:
    explicit Lcg(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        state_ = state_ * 6364136223846793005u + 1442695040888963407u;
        return state_ >> 33;
    }

private:
    std::uint64_t state_;
};

class VectorSink final : public ahrs::ByteSink {
public:
    ahrs::Result<std::size_t, ahrs::IoError> write(std::span<const std::uint8_t> src) override {
        bytes.insert(bytes.end(), src.begin(), src.end());
        return src.size();
    }
    Bytes bytes;
};

inline Bytes packet_bytes(ahrs::Descriptor d, std::span<const std::uint8_t> payload) {
    VectorSink sink;
    FUZZ_CHECK(ahrs::MipPacket::write(sink, d, payload).ok());
    return sink.bytes;
}

// What one attempt gave: a packet's bytes as rewritten, or a failure's text.
struct Outcome {
    bool packet;
    Bytes bytes;
    std::string text;
    bool operator==(const Outcome&) const = default;
};

inline Outcome outcome_of(const ahrs::Result<ahrs::MipPacket, ahrs::PacketError>& r) {
    if (r) return {true, packet_bytes(r->descriptor(), r->bytes()), {}};
    return {false, {}, r.error().text()};
}

// Whether a whole packet with a sound checksum starts at some 0x75 in
// `bytes` after the first.
inline bool packet_stands_after(std::span<const std::uint8_t> bytes) {
    for (std::size_t at = 1; at < bytes.size(); ++at) {
        if (bytes[at] != ahrs::kSync1) continue;
        ahrs::MemorySource rest(bytes.subspan(at));
        if (ahrs::MipPacket::read(rest)) return true;
    }
    return false;
}

// What a serial line gives when nothing arrives in time.
inline ahrs::IoError timed_out() { return ahrs::IoError::custom(ahrs::IoKind::TimedOut, "Operation timed out"); }

// Drives the buffer exactly as the port does, one read per attempt, until
// an attempt that kept its bytes failed with an error that `stop` says ends
// the run (past the end of the data, such an attempt would be made again
// for ever). Returns every outcome. The bound catches an attempt loop that
// stops making progress.
template <class Stop>
std::vector<Outcome> run_attempts(ahrs::AttemptBuffer& input, std::size_t max_attempts, Stop stop) {
    std::vector<Outcome> outcomes;
    for (;;) {
        FUZZ_CHECK(outcomes.size() < max_attempts);
        auto r = input.next_packet({});
        outcomes.push_back(outcome_of(r));
        if (r) input.accept();
        else if (input.fail(r.error()) && stop(*r.error().io_error())) return outcomes;
    }
}

}  // namespace fuzz
