#pragma once
// Drives a RecordingScan to its end, handing every event to a visitor and
// giving the caller a word every few thousand packets: to show progress, or
// to stop (an interrupt, a failed progress display).
#include <functional>
#include <optional>

#include "recording_scan.hpp"

namespace ahrs {

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
