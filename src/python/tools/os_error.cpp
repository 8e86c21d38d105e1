#include "os_error.hpp"

#include "device/interrupts.hpp"

namespace ahrs::py {

PyObject* raise_file_error(const IoError& e, const std::string& filename) {
    // A signal handler raised while the file was waited on: its exception stands.
    if (is_interruption(e) && PyErr_Occurred()) return nullptr;
    const bool os = e.shape() == IoError::Shape::Os;
    const std::string text = os ? os_error_description(e.os_code()) : e.text();
    PyRef name =
        PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(filename.data(), static_cast<Py_ssize_t>(filename.size())));
    if (!name) return nullptr;
    PyRef args = PyRef::steal(Py_BuildValue("(isO)", os ? e.os_code() : 0, text.c_str(), name.get()));
    if (!args) return nullptr;
    PyRef exc = PyRef::steal(PyObject_Call(PyExc_OSError, args.get(), nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace ahrs::py
