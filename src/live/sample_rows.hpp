#pragma once
// Live samples as the packed rows of a recording's tables (record_row.hpp),
// each row followed by the sample's host time (unsigned 64-bit nanoseconds)
// and its estimated time of measurement (signed, LiveSample::kNoTime for none).
#include <array>
#include <span>

#include "../protocol/record_row.hpp"
#include "live_sample.hpp"

namespace ahrs {

using SampleTables = std::array<RowBuffer, kRecordSlots>;

// False when memory is out. `scratch` holds nothing between calls.
bool append_sample_rows(SampleTables& out, SampleTables& scratch, const LiveSample& s);

}  // namespace ahrs
