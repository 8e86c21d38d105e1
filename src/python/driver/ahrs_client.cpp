// AHRSClient: the synchronous client. One object owns one port; every method
// does its work on the calling thread and returns.
#include "device/port.hpp"
#include "python/common/args.hpp"
#include "python/common/class_object.hpp"
#include "python/common/no_throw.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "registry.hpp"
#include "signals.hpp"

namespace ahrs::py {
namespace {

struct Client {
    Port port;
    FlatPacket packet;  // reused by every read
};
using ClientObject = ClassObject<Client>;

#define AHRS_CLIENT_METHOD()                  \
    auto* self = ClientObject::cast(py_self); \
    Borrow borrow(self->borrowed);            \
    if (!borrow) return nullptr;              \
    Client& client = self->value

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!no_args("AHRSClient", args, kwargs)) return nullptr;
    return ClientObject::create(type);
}

// Replaces the port only once the new one is open: a failed open leaves the
// client as it was.
PyObject* replace_port(Client& client, Result<Port, AHRSError> opened) {
    if (!opened) return raise_value_error(opened.error());
    client.port = std::move(opened).value();
    Py_RETURN_NONE;
}

PyObject* client_open(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    AHRS_CLIENT_METHOD();
    Args a("open", {"serial_device", "baud_rate"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    auto device = a.str(0);
    if (!device) return nullptr;
    auto baud = a.u32(1);
    if (!baud) return nullptr;
    return replace_port(client, Port::open(*device, *baud));
}

PyObject* client_open_file(PyObject* py_self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    AHRS_CLIENT_METHOD();
    Args a("open_file", {"filename"}, args, nargs, kwnames);
    if (!a.ok()) return nullptr;
    auto filename = a.str(0);
    if (!filename) return nullptr;
    return replace_port(client, Port::open_file(*filename, kSignals));
}

PyObject* client_configure(PyObject* py_self, PyObject*) {
    AHRS_CLIENT_METHOD();
    if (auto r = client.port.configure(kSignals); !r) return raise_port_error(r.error());
    Py_RETURN_NONE;
}

PyObject* client_start_stream(PyObject* py_self, PyObject*) {
    AHRS_CLIENT_METHOD();
    if (auto r = client.port.start_stream(kSignals); !r) return raise_panic(r.error());
    Py_RETURN_NONE;
}

// A snapshot of one packet; a failed attempt gives an empty dict, its
// diagnostic line (if any) being the only trace.
PyObject* client_read(PyObject* py_self, PyObject*) {
    AHRS_CLIENT_METHOD();
    if (auto r = client.port.read_packet(client.packet, kSignals); !r) {
        if (const auto* panic = std::get_if<Panic>(&r.error())) return raise_panic(*panic);
        if (handler_exception_stands(std::get<AHRSError>(r.error()))) return nullptr;
        return PyDict_New();
    }
    return snapshot_to_dict(client.packet).release();
}

PyObject* client_read_packet(PyObject* py_self, PyObject*) {
    AHRS_CLIENT_METHOD();
    if (auto r = client.port.read_packet(client.packet, kSignals); !r) return raise_port_error(r.error());
    return readings_to_list(client.packet).release();
}

#undef AHRS_CLIENT_METHOD

#define AHRS_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef client_methods[] = {
    {"open", AHRS_FASTCALL(no_throw<client_open>), METH_FASTCALL | METH_KEYWORDS,
     "open($self, serial_device, baud_rate)\n--\n\n"},
    {"open_file", AHRS_FASTCALL(no_throw<client_open_file>), METH_FASTCALL | METH_KEYWORDS,
     "open_file($self, filename)\n--\n\n"},
    {"configure", no_throw<client_configure>, METH_NOARGS, "configure($self)\n--\n\n"},
    {"start_stream", no_throw<client_start_stream>, METH_NOARGS, "start_stream($self)\n--\n\n"},
    {"read", no_throw<client_read>, METH_NOARGS, "read($self)\n--\n\n"},
    {"read_packet", no_throw<client_read_packet>, METH_NOARGS, "read_packet($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef AHRS_FASTCALL

}  // namespace

PyRef make_ahrs_client_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_throw<client_new>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(ClientObject::dealloc)},
        {Py_tp_methods, client_methods},
        {Py_tp_doc, const_cast<char*>("AHRSClient()\n--\n\n")},
        {0, nullptr},
    };
    return make_type("builtins.AHRSClient", sizeof(ClientObject), slots);
}

}  // namespace ahrs::py
