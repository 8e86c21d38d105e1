#include "convert.hpp"

#include "python/common/record_objects.hpp"

namespace ahrs::py {
namespace {

// Made by init_key_cache() at module creation, before any conversion.
const RecordNames* g_names = nullptr;

bool set_item(PyObject* dict, PyObject* key, PyRef value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

bool init_key_cache() { return (g_names = record_names()) != nullptr; }

namespace {

PyRef flat_record_dict(const FlatPacket& flat, std::size_t record) { return record_dict(flat, record, *g_names); }

PyObject* kind_text(ReadingKind kind) { return kind == ReadingKind::Sensor ? g_names->sensor : g_names->estimate; }

}  // namespace

PyRef reading_to_dict(const Reading& r) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const auto& items = slot_spec(r.slot()).items;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!set_item(dict.get(), g_names->items[r.slot()][i], item_object(items[i].type, r.item(i), *g_names)))
            return {};
    return dict;
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
    if (!set_item(dict.get(), g_names->type, PyRef::borrow(kind_text(map.readings().back().kind())))) return {};
    for (const Reading& r : map.readings())
        if (!set_item(dict.get(), g_names->records[r.slot()], reading_to_dict(r))) return {};
    return dict;
}

PyRef snapshot_to_dict(const FlatPacket& flat) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || flat.record_count == 0) return dict;
    const ReadingKind kind = slot_kind(flat.records[flat.record_count - 1].slot);
    if (!set_item(dict.get(), g_names->type, PyRef::borrow(kind_text(kind)))) return {};
    const RecordIndex index = index_records(flat);
    for (std::size_t k = 0; k < index.count; ++k) {
        const std::uint8_t slot = index.order[k];
        if (!set_item(dict.get(), g_names->records[slot], flat_record_dict(flat, index.last[slot]))) return {};
    }
    return dict;
}

}  // namespace ahrs::py
