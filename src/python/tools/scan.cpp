// scan(path, progress): a whole recording decoded without the interpreter
// lock into one packed table per record, handed over as bytearrays (one at a
// time, each table freed as soon as it is copied, to keep the peak low) with
// the counts that say how whole the recording was. scan_columns(path,
// progress) hands each table over column by column instead (record_columns.hpp),
// laid out in the same single copy.
#include <optional>
#include <span>
#include <string>

#include "recording/recording_tables.hpp"
#include "protocol/time_sidecar.hpp"
#include "functions.hpp"
#include "os_error.hpp"
#include "protocol/packet_view.hpp"
#include "protocol/record_row.hpp"
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

enum class Layout { Rows, Columns };

PyRef row_bytes(const RowBuffer& rows, std::size_t) {
    return PyRef::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                                      static_cast<Py_ssize_t>(rows.size())));
}

PyRef starts_tuple(const std::vector<std::size_t>& starts) {
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(starts.size() - 1)));
    if (!out) return {};
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
        PyObject* n = PyLong_FromSize_t(starts[i]);
        if (!n || PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), n) < 0) return {};
    }
    return out;
}

// (bytearray, rows, (start of each column, ...))
PyRef column_bytes(const RowBuffer& rows, std::size_t slot) {
    const RecordSpec& spec = slot_spec(slot);
    const std::size_t count = rows.size() / row_size(spec);
    const auto starts = column_starts(spec, count);
    PyRef bytes = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(starts.back())));
    PyRef where = starts_tuple(starts);
    if (!bytes || !where) return {};
    auto* out = reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(bytes.get()));
    {
        Unlocked unlocked;  // nothing else holds the new bytearray yet
        rows_to_columns(spec, rows.data(), count, out);
    }
    return PyRef::steal(Py_BuildValue("(OnO)", bytes.get(), static_cast<Py_ssize_t>(count), where.get()));
}

PyRef record_tables(RecordingTables& t, Layout layout) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        auto& rows = t.rows[slot];
        if (rows.empty()) continue;
        PyRef bytes = layout == Layout::Rows ? row_bytes(rows, slot) : column_bytes(rows, slot);
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

// The offsets as the bytes of a native uint64 array, for numpy to take as
// they are: 8 bytes an offset, where a list would spend over 30.
PyRef offsets(OffsetList& list) {
    PyRef out = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(list.size() * 8)));
    if (!out) return {};
    list.move_to(reinterpret_cast<std::uint64_t*>(PyByteArray_AsString(out.get())));
    return out;
}

template <class T>
PyRef array_bytes(const std::vector<T>& values) {
    return PyRef::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                      static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

// {set name: (packets, segments, span_s, drift_ppm, residual_p50_ns, residual_p99_ns)}
PyRef set_fits(const HostClockFit& fit) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (unsigned byte = 0; byte < 256; ++byte) {
        const SetFit& f = fit.sets[byte];
        if (f.packets == 0) continue;
        const auto d = descriptor_from_byte(static_cast<std::uint8_t>(byte));
        PyRef row = PyRef::steal(Py_BuildValue("(KKdddd)", static_cast<unsigned long long>(f.packets),
                                               static_cast<unsigned long long>(f.segments), f.span_s, f.drift_ppm,
                                               f.residual_p50_ns, f.residual_p99_ns));
        if (!set_item(out.get(), descriptor_name(*d), std::move(row))) return {};
    }
    return out;
}

// (arrival_ns as int64 bytes, host_time as float64 bytes, set_fits), or the
// sidecar's fault as a str.
PyRef host_clock(const Result<HostClockFit, std::string>& fit) {
    if (!fit) {
        const std::string& why = fit.error();
        return PyRef::steal(PyUnicode_FromStringAndSize(why.data(), static_cast<Py_ssize_t>(why.size())));
    }
    PyRef arrival = array_bytes(fit->arrival_ns);
    PyRef host = array_bytes(fit->host_time);
    PyRef sets = set_fits(*fit);
    if (!arrival || !host || !sets) return {};
    return PyRef::steal(Py_BuildValue("(OOO)", arrival.get(), host.get(), sets.get()));
}

PyObject* to_python(RecordingTables& t, Layout layout) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    const bool ok = set_item(out.get(), "packets", PyRef::steal(PyLong_FromUnsignedLongLong(t.packets))) &&
                    set_item(out.get(), "skipped_bytes", PyRef::steal(PyLong_FromUnsignedLongLong(t.skipped_bytes))) &&
                    set_item(out.get(), "truncated", PyRef::steal(PyBool_FromLong(t.truncated))) &&
                    set_item(out.get(), "damaged", offsets(t.damaged)) && set_item(out.get(), "sets", set_counts(t)) &&
                    set_item(out.get(), "records", record_tables(t, layout));
    return ok ? out.release() : nullptr;
}

Result<HostClockFit, std::string> fit_sidecar(std::span<const std::uint8_t> bytes, std::vector<PacketClock>& clocks) {
    auto reads = decode_read_times(bytes);
    if (!reads) return err(std::move(reads).error());
    auto fit = fit_host_clock(clocks, *reads);
    clocks = {};
    return fit;
}

PyObject* scan_as(Layout layout, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a(name, {"path", "progress", "times"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    auto path = a.path(0);
    if (!path) return nullptr;
    const bool timed = a.object(2) != Py_None;
    // The call holds the bytes while the lock is let go.
    const auto times = timed ? a.bytes(2) : std::optional(std::span<const std::uint8_t>{});
    if (!times) return nullptr;

    // Opened without the lock too: a FIFO with no writer waits in open(2).
    std::optional<Result<RecordingTables, ScanFailure>> tables;
    std::optional<Result<HostClockFit, std::string>> fit;
    {
        Unlocked unlocked;
        auto recording = RecordingScan::open(*path, unlocked.interrupt_check());
        if (recording) tables.emplace(collect_tables(*recording, unlocked.hook(a.object(1)), timed));
        else tables.emplace(err(ScanFailure{std::move(recording).error()}));
        if (timed && *tables) fit.emplace(fit_sidecar(*times, tables->value().clocks));
    }
    if (!*tables) {
        const auto& io = tables->error().io;
        if (io && io->kind() == IoKind::OutOfMemory) return PyErr_NoMemory();
        return io ? raise_file_error(*io, *path) : nullptr;
    }
    PyRef out = PyRef::steal(to_python(tables->value(), layout));
    if (out && fit && !set_item(out.get(), "host", host_clock(*fit))) return nullptr;
    return out.release();
}

PyObject* scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return scan_as(Layout::Rows, "scan", args, nargs, kwnames);
}

PyObject* scan_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return scan_as(Layout::Columns, "scan_columns", args, nargs, kwnames);
}

}  // namespace

PyMethodDef scan_def = {
    "scan",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(no_throw<scan>)),
    METH_FASTCALL | METH_KEYWORDS,
    "scan(path, progress, times)\n--\n\nDecodes a recording into packed record tables; progress(bytes) is called now "
    "and then. "
    "With times (the bytes of its host-time sidecar), also each packet's arrival and fitted host time.",
};

PyMethodDef scan_columns_def = {
    "scan_columns",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(no_throw<scan_columns>)),
    METH_FASTCALL | METH_KEYWORDS,
    "scan_columns(path, progress, times)\n--\n\nAs scan(), each record's table laid out column by column.",
};

}  // namespace ahrs::py
