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

PyObject* intern(std::string_view s) {
    return PyUnicode_InternFromString(std::string(s).c_str());
}

bool intern_catalogue(ReadingKind kind, std::size_t first_slot) {
    const auto records = catalogue(kind);
    for (std::size_t v = 0; v < records.size(); ++v) {
        if (!(g_keys.variants[first_slot + v] = intern(records[v].name))) return false;
        for (std::size_t i = 0; i < records[v].items.size(); ++i)
            if (!(g_keys.items[first_slot + v][i] = intern(records[v].items[i].name))) return false;
    }
    return true;
}

PyRef item_value(WireType type, double v) {
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

PyRef reading_to_dict(const Reading& r) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const auto& items = r.spec().items;
    const auto& keys = g_keys.items[r.slot()];
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!set_item(dict.get(), keys[i], item_value(items[i].type, r.item(i)))) return {};
    return dict;
}

PyRef readings_to_list(std::span<const Reading> readings) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(readings.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < readings.size(); ++i) {
        PyRef d = reading_to_dict(readings[i]);
        if (!d) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d.release());  // steals the reference
    }
    return list;
}

PyRef snapshot_to_dict(const SnapshotMap& map) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || map.empty()) return dict;
    PyObject* kind = *map.type() == "sensor" ? g_keys.sensor : g_keys.estimate;
    if (!set_item(dict.get(), g_keys.type, PyRef::borrow(kind))) return {};
    for (const Reading& r : map.readings())
        if (!set_item(dict.get(), g_keys.variants[r.slot()], reading_to_dict(r))) return {};
    return dict;
}

}  // namespace ahrs::py
