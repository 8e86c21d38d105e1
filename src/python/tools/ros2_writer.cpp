// Ros2Writer(path): ROS 2 messages encoded as CDR and written to an MCAP
// file natively. Python hands over whole columns (as bytes) per batch of
// packets; the messages of a batch go out in packet order across channels,
// so a reader replays them interleaved as the sensor sent them.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "functions.hpp"
#include "os_error.hpp"
#include "python/common/class_object.hpp"
#include "recording/mcap_writer.hpp"
#include "recording/ros2_messages.hpp"

namespace ahrs::py {
namespace {

struct Channel {
    std::uint16_t id;
    Ros2Kind kind;
    std::string frame_id, other;
    std::uint32_t sequence = 0;
};

struct Ros2Writer {
    std::optional<McapWriter> mcap;
    std::string path;
    std::vector<Channel> channels;
    std::uint16_t schemas[5] = {};
    std::string message;
};

using WriterObject = ClassObject<Ros2Writer>;
Ros2Writer& writer(PyObject* self) { return WriterObject::cast(self)->value; }

PyObject* closed() {
    PyErr_SetString(PyExc_ValueError, "the MCAP file is finished");
    return nullptr;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const char* path = nullptr;
    if (kwargs || !PyArg_ParseTuple(args, "s", &path)) {
        if (kwargs) PyErr_SetString(PyExc_TypeError, "Ros2Writer(path) takes no keywords");
        return nullptr;
    }
    auto made = McapWriter::create(path, "ros2", InterruptCheck());
    if (!made) return raise_file_error(made.error(), path);
    PyObject* self = WriterObject::create(type);
    if (!self) return nullptr;
    writer(self).mcap.emplace(std::move(made).value());
    writer(self).path = path;
    return self;
}

// channel(topic, kind, frame_id, other) -> channel number
PyObject* writer_channel(PyObject* self, PyObject* args) {
    const char *topic, *kind_name, *frame_id, *other;
    if (!PyArg_ParseTuple(args, "ssss", &topic, &kind_name, &frame_id, &other)) return nullptr;
    Ros2Writer& w = writer(self);
    if (!w.mcap) return closed();
    Ros2Kind kind;
    if (!ros2_kind_named(kind_name, kind)) {
        PyErr_Format(PyExc_ValueError, "unknown message kind '%s'", kind_name);
        return nullptr;
    }
    std::uint16_t& schema = w.schemas[static_cast<std::size_t>(kind)];
    const Ros2Type& type = ros2_type(kind);
    if (!schema) schema = w.mcap->add_schema(type.name, "ros2msg", type.definition);
    const std::uint16_t id = w.mcap->add_channel(schema, topic, "cdr", {{"offered_qos_profiles", ""}});
    w.channels.push_back({id, kind, frame_id, other});
    return PyLong_FromSize_t(w.channels.size() - 1);
}

struct Batch {
    Channel* channel;
    const std::uint64_t* packets;
    const std::uint64_t* log_times;
    const std::int64_t* stamps;
    const double* rows;
    std::size_t count, at = 0;
};

std::optional<Batch> parse_batch(Ros2Writer& w, PyObject* item) {
    Py_ssize_t channel;
    const char *packets, *log_times, *stamps, *rows;
    Py_ssize_t np, nl, ns, nr;
    if (!PyArg_ParseTuple(item, "ny#y#y#y#", &channel, &packets, &np, &log_times, &nl, &stamps, &ns, &rows, &nr))
        return std::nullopt;
    if (channel < 0 || static_cast<std::size_t>(channel) >= w.channels.size()) {
        PyErr_SetString(PyExc_ValueError, "no such channel");
        return std::nullopt;
    }
    Channel& c = w.channels[static_cast<std::size_t>(channel)];
    const std::size_t count = static_cast<std::size_t>(np) / 8;
    const std::size_t row = ros2_type(c.kind).row;
    if (np % 8 || nl != np || ns != np || static_cast<std::size_t>(nr) != count * row * 8) {
        PyErr_SetString(PyExc_ValueError, "columns of unequal length");
        return std::nullopt;
    }
    // bytes objects keep their data 8-aligned past the header on every CPython.
    return Batch{&c,
                 reinterpret_cast<const std::uint64_t*>(packets),
                 reinterpret_cast<const std::uint64_t*>(log_times),
                 reinterpret_cast<const std::int64_t*>(stamps),
                 reinterpret_cast<const double*>(rows),
                 count};
}

// write(batches): each (channel, packets, log_times, stamps, rows) of
// uint64, uint64, int64 and float64 bytes, each channel's in packet order.
// One call at a time per writer: the caller keeps them in sequence.
PyObject* writer_write(PyObject* self, PyObject* batches) {
    Ros2Writer& w = writer(self);
    if (!w.mcap) return closed();
    PyRef seq = PyRef::steal(PySequence_Tuple(batches));
    if (!seq) return nullptr;
    std::vector<Batch> open;
    for (Py_ssize_t i = 0; i < PyTuple_Size(seq.get()); ++i) {
        auto b = parse_batch(w, PyTuple_GetItem(seq.get(), i));
        if (!b) return nullptr;
        if (b->count) open.push_back(*b);
    }
    // The columns stay alive in `seq`; the interpreter goes on with the next
    // batch meanwhile.
    std::optional<IoError> failed;
    Py_BEGIN_ALLOW_THREADS
    while (!failed) {
        Batch* next = nullptr;
        for (Batch& b : open)
            if (b.at < b.count && (!next || b.packets[b.at] < next->packets[next->at])) next = &b;
        if (!next) break;
        Channel& c = *next->channel;
        const std::size_t row = ros2_type(c.kind).row;
        encode_ros2(c.kind, {next->stamps[next->at], c.frame_id, c.other}, {next->rows + next->at * row, row},
                    w.message);
        auto r = w.mcap->add_message(c.id, c.sequence++, next->log_times[next->at], w.message);
        if (!r) failed = std::move(r).error();
        ++next->at;
    }
    Py_END_ALLOW_THREADS
    if (failed) return raise_file_error(*failed, w.path);
    Py_RETURN_NONE;
}

PyObject* writer_finish(PyObject* self, PyObject*) {
    Ros2Writer& w = writer(self);
    if (!w.mcap) return closed();
    auto r = w.mcap->finish();
    const unsigned long long count = w.mcap->messages();
    w.mcap.reset();
    if (!r) return raise_file_error(r.error(), w.path);
    return PyLong_FromUnsignedLongLong(count);
}

// encode(kind, stamp_ns, frame_id, other, row) -> bytes: one message, for
// live publishing.
PyObject* writer_encode(PyObject*, PyObject* args) {
    const char *kind_name, *frame_id, *other, *row;
    long long stamp;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "sLssy#", &kind_name, &stamp, &frame_id, &other, &row, &size)) return nullptr;
    Ros2Kind kind;
    if (!ros2_kind_named(kind_name, kind)) {
        PyErr_Format(PyExc_ValueError, "unknown message kind '%s'", kind_name);
        return nullptr;
    }
    const std::size_t n = ros2_type(kind).row;
    if (static_cast<std::size_t>(size) != n * sizeof(double)) {
        PyErr_Format(PyExc_ValueError, "a %s row holds %zu doubles", kind_name, n);
        return nullptr;
    }
    std::vector<double> values(n);
    std::memcpy(values.data(), row, n * sizeof(double));
    std::string out;
    encode_ros2(kind, {stamp, frame_id, other}, values, out);
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// schema(kind) -> (type name, ros2msg definition)
PyObject* writer_schema(PyObject*, PyObject* arg) {
    const char* kind_name = PyUnicode_AsUTF8AndSize(arg, nullptr);
    if (!kind_name) return nullptr;
    Ros2Kind kind;
    if (!ros2_kind_named(kind_name, kind)) {
        PyErr_Format(PyExc_ValueError, "unknown message kind '%s'", kind_name);
        return nullptr;
    }
    const Ros2Type& t = ros2_type(kind);
    return Py_BuildValue("(s#y#)", t.name.data(), static_cast<Py_ssize_t>(t.name.size()), t.definition.data(),
                         static_cast<Py_ssize_t>(t.definition.size()));
}

PyObject* writer_compression(PyObject*, PyObject*) {
    const std::string_view c = McapWriter::compression();
    return PyUnicode_FromStringAndSize(c.data(), static_cast<Py_ssize_t>(c.size()));
}

PyMethodDef writer_methods[] = {
    {"channel", no_throw<writer_channel>, METH_VARARGS,
     "channel(topic, kind, frame_id, other)\n--\n\nA channel of one message kind (imu, mag, pressure, "
     "time_reference, tf); other is the child frame (tf) or source (time_reference)."},
    {"write", no_throw<writer_write>, METH_O,
     "write(batches)\n--\n\nWrites (channel, packets, log_times, stamps, rows) batches in packet order."},
    {"finish", no_throw<writer_finish>, METH_NOARGS, "finish()\n--\n\nWrites the summary; returns the message count."},
    {"encode", no_throw<writer_encode>, METH_VARARGS | METH_STATIC,
     "encode(kind, stamp_ns, frame_id, other, row)\n--\n\nOne message's CDR bytes from a row of float64 bytes."},
    {"schema", no_throw<writer_schema>, METH_O | METH_STATIC,
     "schema(kind)\n--\n\n(ROS 2 type name, ros2msg definition as bytes)."},
    {"compression", no_throw<writer_compression>, METH_NOARGS | METH_STATIC,
     "compression()\n--\n\nThe chunks' compression: 'zstd', or '' in a build without libzstd."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyRef make_ros2_writer_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_throw<writer_new>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(WriterObject::dealloc)},
        {Py_tp_methods, writer_methods},
        {Py_tp_doc, const_cast<char*>("Ros2Writer(path)\n--\n\nROS 2 messages into an MCAP file.")},
        {0, nullptr},
    };
    return make_type("tavrin_ahrs_tools._native.Ros2Writer", sizeof(WriterObject), slots);
}

}  // namespace ahrs::py
