// scan(path, progress): a whole recording decoded without the interpreter
// lock into one packed table per record, handed over as bytearrays (one at a
// time, each table freed as soon as it is copied, to keep the peak low) with
// the counts that say how whole the recording was.
#include <string>

#include "device/recording_tables.hpp"
#include "functions.hpp"
#include "os_error.hpp"
#include "protocol/descriptor.hpp"
#include "python/common/args.hpp"
#include "unlocked.hpp"

namespace ahrs::py {
namespace {

bool set_item(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool set_item(PyObject* dict, std::string_view key, PyRef value) {
    return set_item(dict, std::string(key).c_str(), std::move(value));
}

PyRef record_tables(RecordingTables& t) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        auto& rows = t.rows[slot];
        if (rows.empty()) continue;
        PyRef bytes = PyRef::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                                                 static_cast<Py_ssize_t>(rows.size())));
        rows.clear();
        if (!set_item(out.get(), slot_spec(slot).name, std::move(bytes))) return {};
    }
    return out;
}

PyRef set_counts(const RecordingTables& t) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (t.set_packets[byte] == 0) continue;
        const auto d = descriptor_from_byte(static_cast<std::uint8_t>(byte));
        if (!set_item(out.get(), descriptor_name(*d), PyRef::steal(PyLong_FromUnsignedLongLong(t.set_packets[byte]))))
            return {};
    }
    return out;
}

PyRef offsets(const std::vector<std::uint64_t>& v) {
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!out) return {};
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(v[i]);
        if (!n || PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), n) < 0) return {};
    }
    return out;
}

PyObject* to_python(RecordingTables& t) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    const bool ok = set_item(out.get(), "packets", PyRef::steal(PyLong_FromUnsignedLongLong(t.packets))) &&
                    set_item(out.get(), "skipped_bytes", PyRef::steal(PyLong_FromUnsignedLongLong(t.skipped_bytes))) &&
                    set_item(out.get(), "truncated", PyRef::steal(PyBool_FromLong(t.truncated))) &&
                    set_item(out.get(), "damaged", offsets(t.damaged)) &&
                    set_item(out.get(), "sets", set_counts(t)) &&
                    set_item(out.get(), "records", record_tables(t));
    return ok ? out.release() : nullptr;
}

PyObject* scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("scan", {"path", "progress"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    auto path = a.str(0);
    if (!path) return nullptr;

    // Opened without the lock too: a FIFO with no writer waits in open(2).
    std::optional<Result<RecordingTables, ScanFailure>> tables;
    {
        Unlocked unlocked;
        auto recording = RecordingScan::open(*path, unlocked.interrupt_check());
        if (recording) tables.emplace(collect_tables(*recording, unlocked.hook(a.object(1))));
        else tables.emplace(err(ScanFailure{std::move(recording).error()}));
    }
    if (!*tables) {
        const auto& io = tables->error().io;
        if (io && io->kind() == IoKind::OutOfMemory) return PyErr_NoMemory();
        return io ? raise_file_error(*io, *path) : nullptr;
    }
    return to_python(tables->value());
}

}  // namespace

PyMethodDef scan_def = {
    "scan",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(no_throw<scan>)),
    METH_FASTCALL | METH_KEYWORDS,
    "scan(path, progress)\n--\n\nDecodes a recording into packed record tables; progress(bytes) is called now and then.",
};

}  // namespace ahrs::py
