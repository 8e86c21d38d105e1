#pragma once
// The record catalogue's names and values as Python objects, for both
// bindings: every name a reading, a snapshot or a sample uses, interned once
// and kept for the life of the process (the conversions run per packet, and
// then cost no string allocation), and an item's value as read() gives it.
#include <array>

#include "protocol/flat_decode.hpp"
#include "protocol/reading.hpp"
#include "python/common/py_ref.hpp"

namespace ahrs::py {

struct RecordNames {
    std::array<PyObject*, 256> sets{};  // by descriptor-set byte, where it names one
    std::array<PyObject*, kRecordSlots> records{};
    std::array<std::array<PyObject*, kMaxItems>, kRecordSlots> items{};
    PyObject* type = nullptr;  // a snapshot's key for its kind
    PyObject* sensor = nullptr;
    PyObject* estimate = nullptr;
    PyObject* valid = nullptr;
    PyObject* invalid = nullptr;
};

// Made on first use; null (the error set) when they cannot be made.
const RecordNames* record_names();

// float for float items, int for 16-bit ones, "Valid"/"Invalid" for flags.
PyRef item_object(WireType type, double value, const RecordNames& names);
PyRef item_object(const FlatItem& item, const RecordNames& names);
// One decoded record as a dict of its items, keyed by their names.
PyRef record_dict(const FlatPacket& flat, std::size_t record, const RecordNames& names);

}  // namespace ahrs::py
