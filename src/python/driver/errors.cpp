#include "errors.hpp"

#include <string>

#include "device/console.hpp"
#include "signals.hpp"

namespace ahrs::py {
namespace {

PyObject* g_panic_type = nullptr;  // created once, kept for the life of the process

PyObject* raise_with_text(PyObject* type, const std::string& text) {
    PyRef msg = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (msg) PyErr_SetObject(type, msg.get());
    return nullptr;
}

// Source paths relative to the project, whatever directory it was built in.
std::string_view project_path(std::string_view file) {
    const auto at = file.rfind("src/");
    return at == std::string_view::npos ? file : file.substr(at);
}

}  // namespace

PyObject* panic_exception_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "tavrin_ahrs_driver.PanicException",
            "Raised when the driver hits an internal failure it cannot recover from (for example, "
            "a write to the device or to standard output failed). Derives from BaseException, so "
            "`except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

PyObject* raise_panic(const Panic& p, const char* file, int line) {
    if (p.interrupted && PyErr_Occurred()) return nullptr;  // the handler's exception stands
    const std::string message = p.message.empty() ? std::string("internal failure") : p.message;
    const std::string report = "tavrin_ahrs_driver: internal failure at " + std::string(project_path(file)) + ":" +
                               std::to_string(line) + ":\n" + message + "\n";
    (void)write_text(Stream::Err, report, {kSignals});  // nothing better to do if stderr itself is gone
    PyObject* type = panic_exception_type();
    if (!type) return nullptr;
    return raise_with_text(type, message);
}

bool handler_exception_stands(const AHRSError& e) {
    return e.cause() == AHRSError::Cause::Interrupted && PyErr_Occurred();
}

PyObject* raise_value_error(const AHRSError& e) {
    if (handler_exception_stands(e)) return nullptr;
    return raise_with_text(PyExc_ValueError, e.display());
}

PyObject* raise_os_error(const AHRSError& e) {
    if (handler_exception_stands(e)) return nullptr;
    return raise_with_text(PyExc_OSError, e.display());
}

PyObject* raise_port_error(const PortError& e, const char* file, int line) {
    if (const auto* a = std::get_if<AHRSError>(&e)) return raise_value_error(*a);
    return raise_panic(std::get<Panic>(e), file, line);
}

}  // namespace ahrs::py
