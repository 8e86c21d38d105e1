// The record catalogue as Python data, so that the Python side builds its
// array layouts and unit tables from the one table: for each record, in
// catalogue order, (name, descriptor-set name, ((item name, array type code,
// unit), ...), field descriptor).
#include <string_view>

#include "functions.hpp"
#include "protocol/packet_view.hpp"
#include "protocol/record_row.hpp"

namespace ahrs::py {
namespace {

PyRef str(std::string_view s) {
    return PyRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyRef record_entry(std::size_t slot) {
    const RecordSpec& spec = slot_spec(slot);
    PyRef items = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.items.size())));
    if (!items) return {};
    for (std::size_t i = 0; i < spec.items.size(); ++i) {
        const ItemSpec& spec_item = spec.items[i];
        PyRef name = str(spec_item.name);
        PyRef code = str(wire_type_spec(spec_item.type).type_code);
        PyRef unit = str(spec_item.unit);
        if (!name || !code || !unit) return {};
        PyObject* item = PyTuple_Pack(3, name.get(), code.get(), unit.get());
        if (!item || PyTuple_SetItem(items.get(), static_cast<Py_ssize_t>(i), item) < 0) return {};
    }
    const auto set = slot_kind(slot) == ReadingKind::Sensor ? Descriptor::DataSensor : Descriptor::DataEstimationFilter;
    PyRef name = str(spec.name);
    PyRef set_name = str(descriptor_name(set));
    if (!name || !set_name) return {};
    PyRef descriptor = PyRef::steal(PyLong_FromLong(spec.field_descriptor));
    if (!descriptor) return {};
    return PyRef::steal(PyTuple_Pack(4, name.get(), set_name.get(), items.get(), descriptor.get()));
}

PyObject* catalogue(PyObject*, PyObject*) {
    PyRef out = PyRef::steal(PyTuple_New(kRecordSlots));
    if (!out) return nullptr;
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        PyRef entry = record_entry(slot);
        if (!entry || PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(slot), entry.release()) < 0) return nullptr;
    }
    return out.release();
}

}  // namespace

PyMethodDef catalogue_def = {
    "catalogue",
    no_throw<catalogue>,
    METH_NOARGS,
    "catalogue()\n--\n\nThe records, in catalogue order: (name, set name, ((item, type code, unit), ...), "
    "field descriptor).",
};

}  // namespace ahrs::py
