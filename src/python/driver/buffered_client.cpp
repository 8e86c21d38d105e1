// BufferedAHRSClient: a live reader laid out as time-stamped snapshots
// fills a bounded queue; take() drains it without waiting.
#include <memory>
#include <span>
#include <vector>

#include "live/buffered_layout.hpp"
#include "python/common/args.hpp"
#include "python/common/class_object.hpp"
#include "python/common/no_throw.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "registry.hpp"

namespace ahrs::py {
namespace {

// A take() that returns at most this many items keeps their storage for the
// next one; beyond it, what a single large batch needed is given back.
constexpr std::size_t kKeptItems = 1024;

// The reader with its layout, and the items of the last take() kept for
// their storage. Destroying the object stops the reader and releases its
// device before the destruction returns (the reader goes first).
struct Buffered {
    std::shared_ptr<BufferedLayout> layout;
    std::unique_ptr<LiveReader> reader;
    std::vector<StampedSnapshot> taken;
    // Items a failed take() drained: the first `held` of `taken`, delivered
    // first by the next call.
    std::size_t held = 0;
};
using BufferedObject = ClassObject<Buffered>;

// Binds a tuple-and-dict call to the fast-call form Args expects.
struct TupleCall {
    std::vector<PyObject*> values;
    PyRef kwnames;
    Py_ssize_t nargs = 0;

    bool bind(PyObject* args, PyObject* kwargs) {
        nargs = PyTuple_Size(args);
        for (Py_ssize_t i = 0; i < nargs; ++i) values.push_back(PyTuple_GetItem(args, i));
        if (!kwargs || PyDict_Size(kwargs) == 0) return true;
        PyRef keys = PyRef::steal(PyDict_Keys(kwargs));
        if (!keys) return false;
        kwnames = PyRef::steal(PyList_AsTuple(keys.get()));
        if (!kwnames) return false;
        for (Py_ssize_t i = 0; i < PyTuple_Size(kwnames.get()); ++i)
            values.push_back(PyDict_GetItem(kwargs, PyTuple_GetItem(kwnames.get(), i)));
        return true;
    }
};

PyObject* buffered_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    TupleCall call;
    if (!call.bind(args, kwargs)) return nullptr;
    Args a("BufferedAHRSClient", {"serial_device", "baud_rate", "buffer_size", "verbose"}, call.values.data(),
           call.nargs, call.kwnames.get());
    if (!a.ok()) return nullptr;
    auto device = a.str(0);
    if (!device) return nullptr;
    auto baud = a.u32(1);
    if (!baud) return nullptr;
    auto buffer_size = a.u64(2);
    if (!buffer_size) return nullptr;
    auto verbose = a.boolean(3);
    if (!verbose) return nullptr;

    if (*buffer_size > SIZE_MAX) return PyErr_NoMemory();
    auto layout = BufferedLayout::create(static_cast<std::size_t>(*buffer_size), *verbose);
    if (!layout) return PyErr_NoMemory();
    auto reader = LiveReader::start(BufferedLayout::settings(std::move(*device), *baud, layout));
    if (!reader) {
        if (reader.error().what != LiveStartError::What::NoThread) return PyErr_NoMemory();
        PyErr_SetString(PyExc_RuntimeError, "failed to spawn thread");
        return nullptr;
    }
    return BufferedObject::create(type, Buffered{std::move(layout), std::move(reader).value(), {}});
}

// Items stamped in the same millisecond share one int object.
PyRef items_to_list(std::span<const StampedSnapshot> items) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return {};
    PyRef stamp;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!stamp || items[i].timestamp_ms != items[i - 1].timestamp_ms) {
            stamp = PyRef::steal(PyLong_FromUnsignedLongLong(items[i].timestamp_ms));
            if (!stamp) return {};
        }
        PyRef dict = snapshot_to_dict(items[i].map);
        if (!dict) return {};
        PyRef pair = PyRef::steal(PyTuple_Pack(2, stamp.get(), dict.get()));
        if (!pair) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());  // steals the reference
    }
    return list;
}

// In a forked child the reader is the parent's: nothing is taken there.
PyObject* buffered_take(PyObject* py_self, PyObject*) {
    auto* self = BufferedObject::cast(py_self);
    Borrow borrow(self->borrowed);
    if (!borrow) return nullptr;
    Buffered& b = self->value;
    if (b.reader->inherited()) return PyList_New(0);
    const auto drained = b.layout->queue().drain(b.taken, b.held);
    if (!drained) return PyErr_NoMemory();
    const std::size_t n = b.held + *drained;
    PyRef list = items_to_list({b.taken.data(), n});
    if (!list) {
        b.held = n;
        return nullptr;
    }
    b.held = 0;
    if (b.taken.size() > kKeptItems) {
        b.taken.resize(kKeptItems);
        b.taken.shrink_to_fit();
    }
    return list.release();
}

PyMethodDef buffered_methods[] = {
    {"take", no_throw<buffered_take>, METH_NOARGS, "take($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyRef make_buffered_client_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_throw<buffered_new>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(BufferedObject::dealloc)},
        {Py_tp_methods, buffered_methods},
        {Py_tp_doc, const_cast<char*>("BufferedAHRSClient(serial_device, baud_rate, buffer_size, verbose)\n--\n\n")},
        {0, nullptr},
    };
    return make_type("builtins.BufferedAHRSClient", sizeof(BufferedObject), slots);
}

}  // namespace ahrs::py
