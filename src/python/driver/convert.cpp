#include "convert.hpp"

#include <array>
#include <string>

namespace ahrs::py {
namespace {

// Interned strings for every name a reading dict or snapshot uses. Created
// once and kept for the life of the process: the conversions run per packet.
struct KeyCache {
    std::array<std::array<PyObject*, kMaxItems>, kSensorVariants + kEstimateVariants> items{};
    std::array<PyObject*, kSensorVariants + kEstimateVariants> variants{};
    PyObject* type = nullptr;
    PyObject* sensor = nullptr;
    PyObject* estimate = nullptr;
    PyObject* valid = nullptr;
    PyObject* invalid = nullptr;
};
KeyCache g_keys;

PyObject* intern(std::string_view s) { return PyUnicode_InternFromString(std::string(s).c_str()); }

bool intern_catalogue(ReadingKind kind, std::size_t first_slot) {
    const auto records = catalogue(kind);
    for (std::size_t v = 0; v < records.size(); ++v) {
        if (!(g_keys.variants[first_slot + v] = intern(records[v].name))) return false;
        for (std::size_t i = 0; i < records[v].items.size(); ++i)
            if (!(g_keys.items[first_slot + v][i] = intern(records[v].items[i].name))) return false;
    }
    return true;
}

PyRef item_object(WireType type, double v) {
    switch (type) {
        case WireType::F32:
        case WireType::F64: return PyRef::steal(PyFloat_FromDouble(v));
        case WireType::U16: return PyRef::steal(PyLong_FromUnsignedLong(static_cast<unsigned long>(v)));
        case WireType::Flag: return PyRef::borrow(v != 0 ? g_keys.valid : g_keys.invalid);
    }
    return {};
}

bool set_item(PyObject* dict, PyObject* key, PyRef value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

bool init_key_cache() {
    if (g_keys.type) return true;
    if (!intern_catalogue(ReadingKind::Sensor, 0) || !intern_catalogue(ReadingKind::Estimate, kSensorVariants))
        return false;
    g_keys.sensor = intern("sensor");
    g_keys.estimate = intern("estimate");
    g_keys.valid = intern("Valid");
    g_keys.invalid = intern("Invalid");
    g_keys.type = intern("type");
    return g_keys.sensor && g_keys.estimate && g_keys.valid && g_keys.invalid && g_keys.type;
}

namespace {

// A record's dict, its items' values given by value(i).
template <class Value>
PyRef record_dict(std::size_t slot, Value&& value) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const auto& items = slot_spec(slot).items;
    const auto& keys = g_keys.items[slot];
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!set_item(dict.get(), keys[i], item_object(items[i].type, value(i)))) return {};
    return dict;
}

PyRef flat_record_dict(const FlatPacket& flat, std::size_t record) {
    const FlatRecord& rec = flat.records[record];
    return record_dict(rec.slot, [&](std::size_t i) { return ahrs::item_value(flat.items[rec.first + i]); });
}

PyObject* kind_text(ReadingKind kind) { return kind == ReadingKind::Sensor ? g_keys.sensor : g_keys.estimate; }

}  // namespace

PyRef reading_to_dict(const Reading& r) {
    return record_dict(r.slot(), [&](std::size_t i) { return r.item(i); });
}

PyRef readings_to_list(const FlatPacket& flat) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(flat.record_count)));
    if (!list) return {};
    for (std::size_t r = 0; r < flat.record_count; ++r) {
        PyRef d = flat_record_dict(flat, r);
        if (!d) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), d.release());  // steals the reference
    }
    return list;
}

PyRef snapshot_to_dict(const SnapshotMap& map) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || map.empty()) return dict;
    if (!set_item(dict.get(), g_keys.type, PyRef::borrow(kind_text(map.readings().back().kind())))) return {};
    for (const Reading& r : map.readings())
        if (!set_item(dict.get(), g_keys.variants[r.slot()], reading_to_dict(r))) return {};
    return dict;
}

PyRef snapshot_to_dict(const FlatPacket& flat) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || flat.record_count == 0) return dict;
    const ReadingKind kind = slot_kind(flat.records[flat.record_count - 1].slot);
    if (!set_item(dict.get(), g_keys.type, PyRef::borrow(kind_text(kind)))) return {};
    const RecordIndex index = index_records(flat);
    for (std::size_t k = 0; k < index.count; ++k) {
        const std::uint8_t slot = index.order[k];
        if (!set_item(dict.get(), g_keys.variants[slot], flat_record_dict(flat, index.last[slot]))) return {};
    }
    return dict;
}

}  // namespace ahrs::py
