#pragma once
// A live sample as Python values: the readings laid out from the flat
// decoding with the catalogue's names, values as the driver's read() gives
// them (float, int, "Valid"/"Invalid"); and batches of samples as the packed
// tables load() turns into arrays.
#include "live/live_sample.hpp"
#include "live/live_sample.hpp"
#include "protocol/flat_decode.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

// (set name, host_ns, wall_ns, device_time or None, readings dict)
PyRef sample_tuple(const LiveSample& s, FlatPacket& scratch);
// record name -> bytearray of its rows; the tables are emptied.
PyRef sample_tables(SampleTables& tables);

}  // namespace ahrs::py
