#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include "../device/attempt_buffer.hpp"
#include "../protocol/mip_packet.hpp"

namespace ahrs {

// Walks a recorded stream from its first byte to its last with the port's
// lossless resynchronisation, and tells the well-formed packets apart from
// the runs of bytes that belong to none. Nothing is printed.
struct ScannedPacket {
    std::uint64_t offset;  // of its first sync byte
    MipPacket packet;
};
// Bytes between two well-formed packets (or before the first, or after the
// last) that belong to no well-formed packet.
struct DamagedRun {
    std::uint64_t offset;
    std::uint64_t size;
};
struct ScanEnd {
    std::uint64_t size;  // of the whole stream
    bool truncated;      // the stream ends inside a packet
};
// Many attempts in a row have failed and the damaged run goes on: nothing to
// report yet, but a caller gets the chance to look at the clock or at
// interrupts before the scan goes on.
struct ScanPause {};
using ScanEvent = std::variant<ScannedPacket, DamagedRun, ScanEnd, ScanPause>;

class RecordingScan {
public:
    // The open and every read give way to `interrupt`: a scan serves one
    // call of the host. A signal that it says ends the call is a failure of
    // the source, interrupted().
    static Result<RecordingScan, IoError> open(std::string_view path, InterruptCheck interrupt = {});
    explicit RecordingScan(std::unique_ptr<ChunkSource> source, InterruptCheck interrupt = {})
        : input_(std::move(source)), interrupts_{interrupt} {}

    // The next event in stream order: a damaged run comes before the packet
    // that ends it. ScanEnd comes last and then again on every call. An
    // error is a failure of the file itself (the operating system's).
    Result<ScanEvent, IoError> next();
    // Bytes of the stream consumed so far.
    std::uint64_t consumed() const { return input_.read_end(); }

    static constexpr unsigned kAttemptsPerPause = 1 << 16;

private:
    Result<ScanEvent, IoError> at_end(std::uint64_t attempt_start);
    bool starts_packet(std::uint64_t attempt_start);

    AttemptBuffer input_;
    Interrupts interrupts_;
    std::uint64_t good_end_ = 0;  // one past the last well-formed packet
    bool cut_short_ = false;      // an attempt since then ran out of data
    std::optional<ScannedPacket> pending_;
    std::optional<ScanEnd> end_;
};

// Drives a RecordingScan to its end, handing every event to a visitor and
// giving the caller a word every few thousand packets: to show progress, or
// to stop (an interrupt, a failed progress display).
// Told the bytes consumed so far; false stops the scan.
using ScanHook = std::function<bool(std::uint64_t consumed)>;

// Why a scan did not reach the end: the file failed, or the hook said stop
// (no I/O error then).
struct ScanFailure {
    std::optional<IoError> io;
};

constexpr unsigned kHookEvery = 4096;

// `visit` takes each packet, damaged run and finally the ScanEnd, and
// returns a Status<IoError>.
template <class Visit>
Status<ScanFailure> scan_all(RecordingScan& scan, const ScanHook& hook, Visit&& visit) {
    for (unsigned n = 1;; ++n) {
        auto event = scan.next();
        if (!event) return err(ScanFailure{std::move(event).error()});
        const bool pause = std::holds_alternative<ScanPause>(*event);
        if (!pause)
            if (auto r = visit(*event); !r) return err(ScanFailure{std::move(r).error()});
        if (std::holds_alternative<ScanEnd>(*event)) return Unit{};
        if ((pause || n % kHookEvery == 0) && hook && !hook(scan.consumed())) return err(ScanFailure{});
    }
}

}  // namespace ahrs
