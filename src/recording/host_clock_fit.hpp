#pragma once
// The device's clock mapped onto the host's, with the whole recording in
// view. Each packet arrived with the read that completed it; arrival minus
// device time is the clocks' offset, plus their drift, plus a transport
// delay that is never below some smallest value. The lower envelope of those
// points (a line under them all, touching the lowest) tracks offset + drift +
// that smallest delay, so the arrival jitter drops out; the smallest delay
// itself cannot be seen from one side and stays in.
//
// Each descriptor set is fitted on its own, since two sets may carry clocks
// that differ. A set's packets are cut into segments where its device time
// steps back, leaps forward further than the arrivals allow, or stays behind
// them for longer than a stall of the link would last (a clock that froze,
// or was reset, or a device that came back with another clock). A segment
// that spans more than two windows gets a line per window, blended between
// their centres, so a drift that wanders with temperature is followed.
#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "../protocol/time_sidecar.hpp"

namespace ahrs {

// What the scan knows of each well-formed packet, in stream order.
struct PacketClock {
    std::uint64_t end;    // byte offset after its last byte
    double device_time;   // GPS seconds, NaN without a time record
    std::uint8_t set;     // descriptor-set byte
};

inline constexpr std::int64_t kNoArrival = std::numeric_limits<std::int64_t>::min();

struct SetFit {
    std::uint64_t packets = 0;    // with a device time and an arrival
    std::uint64_t segments = 0;
    double span_s = 0;            // device seconds covered by the segments
    double drift_ppm = 0;         // device clock rate against the host's, + when it runs fast
    double residual_p50_ns = 0;   // arrival after the fitted instant
    double residual_p99_ns = 0;
};

struct HostClockFit {
    std::vector<std::int64_t> arrival_ns;  // wall clock per packet; kNoArrival past the sidecar's end
    std::vector<double> host_time;         // Unix seconds per packet; NaN without a device time or arrival
    std::array<SetFit, 256> sets{};        // by descriptor-set byte; packets == 0 when none was fitted
};

HostClockFit fit_host_clock(std::span<const PacketClock> packets, std::span<const ReadTime> reads);

}  // namespace ahrs
