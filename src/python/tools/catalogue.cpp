// The record catalogue as Python data, so that the Python side builds its
// array layouts, unit tables, time rule and simulated packets from the one
// table: for each record, in catalogue order, (name, descriptor-set name,
// ((item name, array type code, unit), ...), field descriptor); and the
// facts around the records (wire widths, the descriptor sets, the columns
// a table adds to the items, which items date a packet) as wire_format().
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "functions.hpp"
#include "live/live_sample.hpp"
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

// What a live sample's row carries after the record's (live_sample.cpp).
constexpr NamedColumn kSampleColumns[] = {{"host_ns", "u8"}, {"time_ns", "i8"}};
static_assert(std::is_same_v<decltype(LiveSample::host_ns), std::uint64_t>);
static_assert(std::is_same_v<decltype(LiveSample::time_ns), std::int64_t>);

constexpr char kSyncBytes[] = {static_cast<char>(kSync1), static_cast<char>(kSync2)};
constexpr WireType kWireTypes[] = {WireType::F32, WireType::F64, WireType::U16, WireType::Flag};

bool put(PyObject* dict, const char* key, const PyRef& value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef columns(std::span<const NamedColumn> list) {
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
    if (!out) return {};
    for (std::size_t i = 0; i < list.size(); ++i) {
        PyRef name = str(list[i].name);
        PyRef code = str(list[i].type_code);
        if (!name || !code) return {};
        PyObject* column = PyTuple_Pack(2, name.get(), code.get());
        if (!column || PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), column) < 0) return {};
    }
    return out;
}

// type code -> (bytes on the wire, bytes in a table row)
PyRef wire_types() {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (WireType type : kWireTypes) {
        const WireTypeSpec& spec = wire_type_spec(type);
        PyRef code = str(spec.type_code);
        PyRef widths = PyRef::steal(Py_BuildValue("(ii)", spec.wire_width, spec.row_width));
        if (!code || !widths || PyDict_SetItem(out.get(), code.get(), widths.get()) < 0) return {};
    }
    return out;
}

// set name -> descriptor byte, every set a packet may carry
PyRef descriptor_sets() {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (int byte = 0; byte < 256; ++byte) {
        const auto set = descriptor_from_byte(static_cast<std::uint8_t>(byte));
        if (!set) continue;
        PyRef name = str(descriptor_name(*set));
        PyRef value = PyRef::steal(PyLong_FromLong(byte));
        if (!name || !value || PyDict_SetItem(out.get(), name.get(), value.get()) < 0) return {};
    }
    return out;
}

// time record name -> (time-of-week item, week item), per data set
PyRef time_items() {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (ReadingKind kind : {ReadingKind::Sensor, ReadingKind::Estimate}) {
        const TimeRecord& time = time_record(kind);
        const RecordSpec& spec = slot_spec(time.slot);
        PyRef name = str(spec.name);
        PyRef tow = str(spec.items[time.time_of_week].name);
        PyRef week = str(spec.items[time.week].name);
        if (!name || !tow || !week) return {};
        PyRef pair = PyRef::steal(PyTuple_Pack(2, tow.get(), week.get()));
        if (!pair || PyDict_SetItem(out.get(), name.get(), pair.get()) < 0) return {};
    }
    return out;
}

PyObject* wire_format(PyObject*, PyObject*) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    const bool ok =
        put(out.get(), "descriptor_sets", descriptor_sets()) && put(out.get(), "wire_types", wire_types()) &&
        put(out.get(), "row_header", columns(kHeaderColumns)) &&
        put(out.get(), "sample_columns", columns(kSampleColumns)) && put(out.get(), "time_items", time_items()) &&
        put(out.get(), "seconds_per_week", PyRef::steal(PyFloat_FromDouble(kSecondsPerWeek))) &&
        put(out.get(), "sync", PyRef::steal(Py_BuildValue("y#", kSyncBytes, Py_ssize_t{2}))) &&
        put(out.get(), "max_packet", PyRef::steal(PyLong_FromSize_t(kMaxPacketSize)));
    return ok ? out.release() : nullptr;
}

}  // namespace

PyMethodDef wire_format_def = {
    "wire_format",
    no_throw<wire_format>,
    METH_NOARGS,
    "wire_format()\n--\n\nThe facts around the records: descriptor_sets {name: byte}, wire_types {type code: "
    "(wire width, row width)}, row_header and sample_columns ((name, type code), ...), time_items {record: "
    "(time-of-week item, week item)}, seconds_per_week (a packet's time is week * seconds_per_week + time of "
    "week), sync (the two bytes a packet starts with), max_packet (the longest packet, in bytes).",
};

PyMethodDef catalogue_def = {
    "catalogue",
    no_throw<catalogue>,
    METH_NOARGS,
    "catalogue()\n--\n\nThe records, in catalogue order: (name, set name, ((item, type code, unit), ...), "
    "field descriptor).",
};

}  // namespace ahrs::py
