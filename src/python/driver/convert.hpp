#pragma once
// Readings and snapshots as plain Python objects: dicts of floats, ints and
// "Valid"/"Invalid" strings, keyed by the catalogue's item names.
#include <span>

#include "protocol/flat_decode.hpp"
#include "protocol/snapshot_map.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

// Interns every key and constant string once; call at module creation.
bool init_key_cache();

PyRef reading_to_dict(const Reading& r);
// A decoded packet: its readings as a list, or its snapshot (the last
// occurrence of a record that occurs twice, as the snapshot map keeps).
PyRef readings_to_list(const FlatPacket& flat);
PyRef snapshot_to_dict(const FlatPacket& flat);
PyRef snapshot_to_dict(const SnapshotMap& map);

}  // namespace ahrs::py
