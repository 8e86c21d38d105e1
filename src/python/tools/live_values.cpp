#include "live_values.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <string_view>

#include "protocol/record_row.hpp"

namespace ahrs::py {
namespace {

PyObject* intern(std::string_view s) { return PyUnicode_InternFromString(std::string(s).c_str()); }

// Names made once and kept for the life of the process: a sample's dicts
// then cost no string allocations.
struct Names {
    std::array<PyObject*, 256> sets{};
    std::array<PyObject*, kRecordSlots> records{};
    std::array<std::array<PyObject*, kMaxItems>, kRecordSlots> items{};
    PyObject* valid = nullptr;
    PyObject* invalid = nullptr;
    bool ready = false;

    bool make() {
        for (unsigned b = 0; b < 256; ++b)
            if (const auto d = descriptor_from_byte(static_cast<std::uint8_t>(b)))
                if (!(sets[b] = intern(descriptor_name(*d)))) return false;
        for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
            const RecordSpec& spec = slot_spec(slot);
            if (!(records[slot] = intern(spec.name))) return false;
            for (std::size_t i = 0; i < spec.items.size(); ++i)
                if (!(items[slot][i] = intern(spec.items[i].name))) return false;
        }
        valid = intern("Valid");
        invalid = intern("Invalid");
        return ready = valid && invalid;
    }
};

Names* names() {
    static Names n;
    if (!n.ready && !n.make()) return nullptr;
    return &n;
}

PyRef value(const FlatItem& item, const Names& n) {
    switch (item.type) {
        case WireType::F32:
            return PyRef::steal(PyFloat_FromDouble(std::bit_cast<float>(static_cast<std::uint32_t>(item.raw))));
        case WireType::F64: return PyRef::steal(PyFloat_FromDouble(std::bit_cast<double>(item.raw)));
        case WireType::U16: return PyRef::steal(PyLong_FromUnsignedLong(static_cast<unsigned long>(item.raw)));
        case WireType::Flag: return PyRef::borrow(item.raw ? n.valid : n.invalid);
    }
    return {};
}

// A record that occurs twice keeps its last occurrence, as read() does.
PyRef readings(const FlatPacket& flat, const Names& n) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (std::size_t r = 0; r < flat.record_count; ++r) {
        const FlatRecord& rec = flat.records[r];
        PyRef items = PyRef::steal(PyDict_New());
        if (!items) return {};
        for (std::size_t i = 0; i < rec.count; ++i) {
            PyRef v = value(flat.items[rec.first + i], n);
            if (!v || PyDict_SetItem(items.get(), n.items[rec.slot][i], v.get()) < 0) return {};
        }
        if (PyDict_SetItem(out.get(), n.records[rec.slot], items.get()) < 0) return {};
    }
    return out;
}

}  // namespace

PyRef sample_tuple(const LiveSample& s, FlatPacket& scratch) {
    const Names* n = names();
    if (!n) return {};
    decode_flat(s.packet.descriptor(), s.packet.bytes(), scratch);
    PyRef values = readings(scratch, *n);
    if (!values) return {};
    PyRef time = std::isnan(s.device_time) ? PyRef::borrow(Py_None) : PyRef::steal(PyFloat_FromDouble(s.device_time));
    PyRef taken =
        s.time_ns == LiveSample::kNoTime ? PyRef::borrow(Py_None) : PyRef::steal(PyLong_FromLongLong(s.time_ns));
    if (!time || !taken) return {};
    return PyRef::steal(Py_BuildValue("(OKKOOO)", n->sets[static_cast<std::uint8_t>(s.packet.descriptor())],
                                      static_cast<unsigned long long>(s.host_ns),
                                      static_cast<unsigned long long>(s.wall_ns), time.get(), values.get(),
                                      taken.get()));
}

PyRef sample_tables(SampleTables& tables) {
    const Names* n = names();
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
