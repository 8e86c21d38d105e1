// cut_times(times, start, end): a recording's host-time sidecar for the
// bytes [start, end) of the recording, as ahrs-record keeps them when it
// trims what comes before the first packet and after the last.
#include "functions.hpp"
#include "python/common/args.hpp"
#include "protocol/time_sidecar.hpp"

namespace ahrs::py {
namespace {

PyObject* cut_times(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("cut_times", {"times", "start", "end"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    const auto times = a.bytes(0);
    if (!times) return nullptr;
    const auto start = a.u64(1);
    if (!start) return nullptr;
    const auto end = a.u64(2);
    if (!end) return nullptr;
    if (*end < *start) {
        PyErr_SetString(PyExc_ValueError, "end must not come before start");
        return nullptr;
    }
    auto reads = decode_read_times(*times);
    if (!reads) {
        PyErr_SetString(PyExc_ValueError, reads.error().c_str());
        return nullptr;
    }
    std::vector<std::uint8_t> out;
    if (!cut_read_times(*reads, *start, *end, out)) return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace

PyMethodDef cut_times_def = {
    "cut_times",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(no_throw<cut_times>)),
    METH_FASTCALL | METH_KEYWORDS,
    "cut_times(times, start, end)\n--\n\nThe host-time sidecar `times` for the recording's bytes [start, end) alone.",
};

}  // namespace ahrs::py
