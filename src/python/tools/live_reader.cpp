// _native.LiveReader: the native half of Sensor. Its waits release the
// interpreter lock, in slices of at most 100 ms (or until a signal) between
// which the lock is taken back to run signal handlers; close() from another
// thread ends them at once. Argument checks and the Python-facing names are Sensor's.
#include <chrono>
#include <memory>
#include <vector>

#include "live/live_reader.hpp"
#include "functions.hpp"
#include "live_values.hpp"
#include "python/common/args.hpp"
#include "python/common/class_object.hpp"
#include "unlocked.hpp"

namespace ahrs::py {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlice{100};
constexpr std::size_t kKeptSamples = 1024;

// Shared with every wait under way, so that the reader outlives them even
// when the object goes first.
struct Live {
    explicit Live(std::shared_ptr<LiveReader> r) : reader(std::move(r)) {}
    std::shared_ptr<LiveReader> reader;
    FlatPacket flat{};
    std::vector<LiveSample> drained;
    SampleTables tables;
    SampleTables scratch;
};
using LiveObject = ClassObject<Live>;

Live& live(PyObject* self) { return LiveObject::cast(self)->value; }

PyObject* start_error(const LiveStartError& e, const std::string& path, const std::string& record) {
    using W = LiveStartError::What;
    if (e.what == W::NoMemory) return PyErr_NoMemory();
    if (e.what == W::NoThread) {
        PyErr_SetString(PyExc_RuntimeError, "failed to spawn thread");
        return nullptr;
    }
    if (e.what == W::RecordIsDevice) {
        PyErr_Format(PyExc_ValueError, "record %s is the port %s itself: refusing to write into the device",
                     record.c_str(), path.c_str());
        return nullptr;
    }
    const std::string& name = !e.name.empty() ? e.name : e.what == W::Record ? record : path;
    PyRef args = e.what == W::System ? PyRef::steal(Py_BuildValue("(is)", e.os_code, e.text.c_str()))
                 : e.os_code         ? PyRef::steal(Py_BuildValue("(iss)", e.os_code, e.text.c_str(), name.c_str()))
                                     : PyRef::steal(Py_BuildValue("(s)", (e.text + ": " + name).c_str()));
    if (!args) return nullptr;
    PyRef exc = PyRef::steal(PyObject_Call(PyExc_OSError, args.get(), nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

// LiveReader(path, baud, configure, capacity, drop_oldest, reconnect, record)
PyObject* live_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_Size(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "LiveReader() takes positional arguments only");
        return nullptr;
    }
    std::vector<PyObject*> values;
    for (Py_ssize_t i = 0; i < PyTuple_Size(args); ++i) values.push_back(PyTuple_GetItem(args, i));
    Args a("LiveReader", {"path", "baud", "configure", "capacity", "drop_oldest", "reconnect", "record"}, values.data(),
           static_cast<Py_ssize_t>(values.size()), nullptr);
    if (!a.ok()) return nullptr;
    LiveSettings s;
    auto path = a.str(0);
    auto baud = path ? a.u32(1) : std::nullopt;
    auto configure = baud ? a.boolean(2) : std::nullopt;
    auto capacity = configure ? a.u64(3) : std::nullopt;
    auto drop = capacity ? a.boolean(4) : std::nullopt;
    auto reconnect = drop ? a.boolean(5) : std::nullopt;
    if (!reconnect) return nullptr;
    if (a.object(6) != Py_None) {
        auto record = a.str(6);
        if (!record) return nullptr;
        s.record = std::move(*record);
    }
    if (*capacity == 0 || *capacity > (1u << 24)) {
        PyErr_SetString(PyExc_ValueError, "capacity out of range");
        return nullptr;
    }
    s.path = *path;
    s.baud = *baud;
    s.configure = *configure;
    s.capacity = static_cast<std::size_t>(*capacity);
    s.overflow = *drop ? Overflow::DropOldest : Overflow::Block;
    s.reconnect = *reconnect;
    const std::string record = s.record.value_or("");

    std::optional<Result<std::unique_ptr<LiveReader>, LiveStartError>> started;
    {
        Unlocked unlocked;
        started.emplace(LiveReader::start(std::move(s)));
    }
    if (!*started) return start_error(started->error(), *path, record);
    return LiveObject::create(type, std::shared_ptr<LiveReader>(std::move(**started)));
}

// One sample: the sample tuple, None when `until` passed, False once the
// queue has ended. In a forked child the reader is the parent's: False.
// While it waits, the reader's next() reads the device itself when it can.
PyObject* pop(PyObject* self, Clock::time_point until) {
    Live& l = live(self);
    std::shared_ptr<LiveReader> reader = l.reader;
    if (reader->inherited()) Py_RETURN_FALSE;
    LiveSample s;
    // A sample already waiting is taken without letting go of the lock.
    // A look that does not wait (poll(), an event loop's) leaves the device
    // to the reader thread: leading it would hold the thread off for a lease.
    auto took = reader->queue().pop(s, Clock::time_point{});
    while (took == SampleQueue::Took::Nothing) {
        const auto now = Clock::now();
        if (now >= until) Py_RETURN_NONE;
        {
            Unlocked unlocked;
            took = reader->next(s, std::min(until, now + kSlice));
        }
        if (took == SampleQueue::Took::Nothing && PyErr_CheckSignals() < 0) return nullptr;
    }
    if (took == SampleQueue::Took::Ended) Py_RETURN_FALSE;
    return sample_tuple(s, l.flat).release();
}

// read(timeout): timeout in seconds, None for no limit.
PyObject* live_read(PyObject* self, PyObject* timeout) {
    auto until = Clock::time_point::max();
    if (timeout != Py_None) {
        const double t = PyFloat_AsDouble(timeout);
        if (t == -1.0 && PyErr_Occurred()) return nullptr;
        if (t < 1e9)
            until = Clock::now() +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t > 0 ? t : 0));
    }
    return pop(self, until);
}

PyObject* live_poll(PyObject* self, PyObject*) { return pop(self, Clock::time_point{}); }

// next_now(): for an event loop, never waiting: the sample tuple, False once
// ended, or the descriptor to wait on (the queue's, or one that is also the
// device's while the loop leads it).
PyObject* live_next_now(PyObject* self, PyObject*) {
    Live& l = live(self);
    std::shared_ptr<LiveReader> reader = l.reader;
    if (reader->inherited()) Py_RETURN_FALSE;
    LiveSample s;
    int fd = reader->queue().signal_fd();
    auto took = reader->queue().pop(s, Clock::time_point{});
    if (took == SampleQueue::Took::Nothing) {
        Unlocked unlocked;
        took = reader->next_now(s, fd);
    }
    if (took == SampleQueue::Took::Ended) Py_RETURN_FALSE;
    if (took == SampleQueue::Took::Nothing) return PyLong_FromLong(fd);
    return sample_tuple(s, l.flat).release();
}

PyObject* live_let_go(PyObject* self, PyObject*) {
    if (!live(self).reader->inherited()) live(self).reader->let_go();
    Py_RETURN_NONE;
}

PyObject* live_latest(PyObject* self, PyObject*) {
    Live& l = live(self);
    if (l.reader->inherited()) Py_RETURN_NONE;
    auto s = l.reader->queue().latest();
    if (!s) Py_RETURN_NONE;
    return sample_tuple(*s, l.flat).release();
}

PyObject* live_take_tables(PyObject* self, PyObject*) {
    Live& l = live(self);
    if (l.reader->inherited()) return PyDict_New();
    const auto drained = l.reader->queue().drain(l.drained);
    if (!drained) return PyErr_NoMemory();
    for (std::size_t i = 0; i < *drained; ++i)
        if (!append_sample_rows(l.tables, l.scratch, l.drained[i])) {
            for (RowBuffer& rows : l.tables) rows.clear();
            return PyErr_NoMemory();
        }
    // The samples keep their storage for the next drain, up to a bound.
    if (l.drained.size() > kKeptSamples) {
        l.drained.resize(kKeptSamples);
        l.drained.shrink_to_fit();
    }
    return sample_tables(l.tables).release();
}

PyObject* live_close(PyObject* self, PyObject*) {
    std::shared_ptr<LiveReader> reader = live(self).reader;
    {
        Unlocked unlocked;
        reader->close();
    }
    Py_RETURN_NONE;
}

PyObject* live_clear_signal(PyObject* self, PyObject*) {
    if (!live(self).reader->inherited()) live(self).reader->queue().clear_signal();
    Py_RETURN_NONE;
}

PyObject* live_signal_fd(PyObject* self, void*) { return PyLong_FromLong(live(self).reader->queue().signal_fd()); }

PyObject* live_status(PyObject* self, void*) {
    const LiveReader& r = *live(self).reader;
    if (r.inherited()) return PyUnicode_FromString("closed");
    switch (r.status()) {
        case LiveStatus::Streaming: return PyUnicode_FromString("streaming");
        case LiveStatus::Reconnecting: return PyUnicode_FromString("reconnecting");
        case LiveStatus::Closed: return PyUnicode_FromString("closed");
        case LiveStatus::Failed: return PyUnicode_FromString("failed");
    }
    Py_RETURN_NONE;
}

PyObject* optional_str(const std::optional<std::string>& s) {
    if (!s) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(s->data(), static_cast<Py_ssize_t>(s->size()));
}

PyObject* live_error(PyObject* self, void*) {
    LiveReader& r = *live(self).reader;
    if (r.inherited()) return PyUnicode_FromString("inherited across fork(): the reader is the parent process's");
    return optional_str(r.error());
}

PyObject* live_inherited(PyObject* self, void*) { return PyBool_FromLong(live(self).reader->inherited()); }

bool put(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef u64(std::uint64_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }

PyRef per_set(const std::array<LiveCounters::Counter, 256>& counts,
              const std::array<LiveCounters::Counter, 256>& shown) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    for (unsigned b = 0; b < 256; ++b) {
        if (shown[b].load(std::memory_order_relaxed) == 0) continue;
        const auto d = descriptor_from_byte(static_cast<std::uint8_t>(b));
        if (!d ||
            !put(out.get(), std::string(descriptor_name(*d)).c_str(), u64(counts[b].load(std::memory_order_relaxed))))
            return {};
    }
    return out;
}

PyObject* live_stats(PyObject* self, PyObject*) {
    LiveReader& r = *live(self).reader;
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    const LiveCounters& c = r.counters();
    const bool mine = !r.inherited();
    auto n = [](const LiveCounters::Counter& v) { return u64(v.load(std::memory_order_relaxed)); };
    PyRef record_error = PyRef::steal(mine ? optional_str(r.record_error()) : Py_NewRef(Py_None));
    const bool ok =
        put(out.get(), "packets", per_set(c.packets, c.packets)) && put(out.get(), "bytes", n(c.bytes)) &&
        put(out.get(), "skipped_bytes", n(c.skipped_bytes)) && put(out.get(), "damaged_runs", n(c.damaged_runs)) &&
        put(out.get(), "checksum_failures", n(c.checksum_failures)) && put(out.get(), "timeouts", n(c.timeouts)) &&
        put(out.get(), "dropouts", per_set(c.dropouts, c.stamped)) &&
        put(out.get(), "dropped", u64(mine ? r.queue().dropped() : 0)) &&
        put(out.get(), "reconnects", n(c.reconnects)) && put(out.get(), "queued", u64(mine ? r.queue().size() : 0)) &&
        put(out.get(), "max_queued", u64(mine ? r.queue().max_size() : 0)) &&
        put(out.get(), "recorded_bytes", n(c.recorded_bytes)) &&
        put(out.get(), "record_error", std::move(record_error));
    return ok ? out.release() : nullptr;
}

PyRef clock_dict(const ClockReport& c) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return {};
    auto maybe_int = [&](std::int64_t v) {
        return c.fitted ? PyRef::steal(PyLong_FromLongLong(v)) : PyRef::borrow(Py_None);
    };
    auto maybe_float = [&](double v) {
        return c.fitted ? PyRef::steal(PyFloat_FromDouble(v)) : PyRef::borrow(Py_None);
    };
    const bool ok = put(out.get(), "offset", maybe_int(c.offset_ns)) &&
                    put(out.get(), "drift_ppm", maybe_float(c.drift_ppm)) && put(out.get(), "window", u64(c.window)) &&
                    put(out.get(), "resets", u64(c.resets)) && put(out.get(), "spread", maybe_float(c.spread_ns));
    if (!ok) return {};
    return out;
}

// clocks(): (sensor set's model, filter set's model), each a dict.
PyObject* live_clocks(PyObject* self, PyObject*) {
    LiveReader& r = *live(self).reader;
    const auto reports = r.inherited() ? std::array<ClockReport, StreamClock::kClocks>{} : r.clocks();
    PyRef sensor = clock_dict(reports[0]);
    PyRef filter = sensor ? clock_dict(reports[1]) : PyRef{};
    if (!filter) return nullptr;
    return PyTuple_Pack(2, sensor.get(), filter.get());
}

PyMethodDef live_methods[] = {
    {"read", no_throw<live_read>, METH_O,
     "read(timeout)\n--\n\nThe next sample tuple; None after the time-out; False once ended."},
    {"poll", no_throw<live_poll>, METH_NOARGS, "poll()\n--\n\nAs read(0)."},
    {"next_now", no_throw<live_next_now>, METH_NOARGS,
     "next_now()\n--\n\nFor an event loop: the next sample tuple, False once ended, or the descriptor to wait on."},
    {"let_go", no_throw<live_let_go>, METH_NOARGS, "let_go()\n--\n\nAn event loop stops waiting: the thread reads."},
    {"latest", no_throw<live_latest>, METH_NOARGS, "latest()\n--\n\nThe newest sample tuple received, or None."},
    {"take_tables", no_throw<live_take_tables>, METH_NOARGS,
     "take_tables()\n--\n\nEvery queued sample as packed rows."},
    {"stats", no_throw<live_stats>, METH_NOARGS, "stats()\n--\n\nThe counters."},
    {"clocks", no_throw<live_clocks>, METH_NOARGS, "clocks()\n--\n\nThe sensor and filter sets' clock models."},
    {"close", no_throw<live_close>, METH_NOARGS, "close()\n--\n\nStops the reader and releases the device."},
    {"clear_signal", no_throw<live_clear_signal>, METH_NOARGS, "clear_signal()\n--\n\nMakes signal_fd unreadable."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef live_getset[] = {
    {"signal_fd", no_throw<live_signal_fd>, nullptr, "readable while samples are queued or the reader has ended",
     nullptr},
    {"status", no_throw<live_status>, nullptr, nullptr, nullptr},
    {"error", no_throw<live_error>, nullptr, nullptr, nullptr},
    {"inherited", no_throw<live_inherited>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyRef make_live_reader_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_throw<live_new>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(LiveObject::dealloc)},
        {Py_tp_methods, live_methods},
        {Py_tp_getset, live_getset},
        {Py_tp_doc,
         const_cast<char*>("LiveReader(path, baud, configure, capacity, drop_oldest, reconnect, record)\n--\n\n")},
        {0, nullptr},
    };
    return make_type("tavrin_ahrs_tools._native.LiveReader", sizeof(LiveObject), slots);
}

}  // namespace ahrs::py
