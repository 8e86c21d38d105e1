#include "live_values.hpp"

#include <cmath>

#include "protocol/record_row.hpp"
#include "python/common/record_objects.hpp"

namespace ahrs::py {
namespace {

// A record that occurs twice keeps its last occurrence, as read() does.
PyRef readings(const FlatPacket& flat, const RecordNames& n) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (std::size_t r = 0; r < flat.record_count; ++r) {
        PyRef items = record_dict(flat, r, n);
        if (!items || PyDict_SetItem(out.get(), n.records[flat.records[r].slot], items.get()) < 0) return {};
    }
    return out;
}

}  // namespace

PyRef sample_tuple(const LiveSample& s, FlatPacket& scratch) {
    const RecordNames* n = record_names();
    if (!n) return {};
    decode_flat(s.packet.descriptor(), s.packet.bytes(), scratch);
    PyRef values = readings(scratch, *n);
    if (!values) return {};
    PyRef time = std::isnan(s.device_time) ? PyRef::borrow(Py_None) : PyRef::steal(PyFloat_FromDouble(s.device_time));
    PyRef taken =
        s.time_ns == LiveSample::kNoTime ? PyRef::borrow(Py_None) : PyRef::steal(PyLong_FromLongLong(s.time_ns));
    PyRef host = PyRef::steal(PyLong_FromUnsignedLongLong(s.host_ns));
    PyRef wall = PyRef::steal(PyLong_FromUnsignedLongLong(s.wall_ns));
    if (!time || !taken || !host || !wall) return {};
    // Packed directly: a format string is parsed anew at every call, once a sample.
    return PyRef::steal(PyTuple_Pack(6, n->sets[static_cast<std::uint8_t>(s.packet.descriptor())], host.get(),
                                     wall.get(), time.get(), values.get(), taken.get()));
}

PyRef sample_tables(SampleTables& tables) {
    const RecordNames* n = record_names();
    if (!n) return {};
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        RowBuffer& rows = tables[slot];
        if (rows.empty()) continue;
        PyRef bytes = PyRef::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                                                 static_cast<Py_ssize_t>(rows.size())));
        rows.clear();
        if (!bytes || PyDict_SetItem(out.get(), n->records[slot], bytes.get()) < 0) return {};
    }
    return out;
}

}  // namespace ahrs::py
