#include "args.hpp"

#include <string_view>

namespace ahrs::py {
namespace {

std::string type_name(PyObject* o) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "object";
    }
    return text;
}

std::string type_module(PyObject* o) {
    PyRef mod = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
    const char* text = mod && PyUnicode_Check(mod.get()) ? PyUnicode_AsUTF8AndSize(mod.get(), nullptr) : nullptr;
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return text;
}

}  // namespace

Args::Args(const char* func, std::initializer_list<const char*> params, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames)
    : func_(func), count_(params.size()) {
    std::size_t k = 0;
    for (const char* p : params) names_[k++] = p;
    if (static_cast<std::size_t>(nargs) > count_) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", func, count_,
                     count_ == 1 ? "" : "s", nargs);
        return;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GetItem(kwnames, j);
        Py_ssize_t klen = 0;
        const char* kname = PyUnicode_AsUTF8AndSize(key, &klen);
        if (!kname) return;
        // Compared with its length: a keyword with a NUL inside is no parameter's name.
        const std::string_view kview(kname, static_cast<std::size_t>(klen));
        std::size_t slot = count_;
        for (std::size_t i = 0; i < count_; ++i)
            if (kview == names_[i]) slot = i;
        if (slot == count_) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
            return;
        }
        if (values_[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, kname);
            return;
        }
        values_[slot] = args[nargs + j];
    }
    for (std::size_t i = 0; i < count_; ++i) {
        if (!values_[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func, names_[i], i + 1);
            return;
        }
    }
    ok_ = true;
}

void Args::type_error(std::size_t i, const char* expected) const {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", func_, names_[i], expected,
                 type_name(values_[i]).c_str());
}

std::optional<std::string> Args::str(std::size_t i) const {
    if (!PyUnicode_Check(values_[i])) {
        type_error(i, "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(values_[i], &size);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(size));
}

std::optional<std::string> Args::path(std::size_t i) const {
    PyRef name = PyRef::steal(PyOS_FSPath(values_[i]));
    if (!name) return std::nullopt;
    PyRef bytes = PyBytes_Check(name.get()) ? std::move(name) : PyRef::steal(PyUnicode_EncodeFSDefault(name.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
    std::string out(data, static_cast<std::size_t>(size));
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return std::nullopt;
    }
    return out;
}

std::optional<std::uint32_t> Args::u32(std::size_t i) const {
    if (!PyLong_Check(values_[i])) {
        type_error(i, "int");
        return std::nullopt;
    }
    // Through the native long, so a value beyond even that keeps the interpreter's own overflow text.
    const long v = PyLong_AsLong(values_[i]);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    if (v < 0 || static_cast<unsigned long>(v) > 0xFFFFFFFFUL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<std::uint64_t> Args::u64(std::size_t i) const {
    if (!PyLong_Check(values_[i])) {
        type_error(i, "int");
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(values_[i]);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(v);
}

std::optional<std::span<const std::uint8_t>> Args::bytes(std::size_t i) const {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(values_[i])) {
        type_error(i, "bytes");
        return std::nullopt;
    }
    if (PyBytes_AsStringAndSize(values_[i], &data, &size) < 0) return std::nullopt;
    return std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

std::optional<bool> Args::boolean(std::size_t i) const {
    PyObject* o = values_[i];
    if (PyBool_Check(o)) return o == Py_True;
    // NumPy's boolean scalar is a bool in all but type; an int is not.
    const std::string name = type_name(o);
    if (type_module(o) == "numpy" && (name == "bool_" || name == "bool")) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) return std::nullopt;
        return truth == 1;
    }
    type_error(i, "bool");
    return std::nullopt;
}

bool no_args(const char* func, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t n = args ? PyTuple_Size(args) : 0;
    const Py_ssize_t nk = kwargs ? PyDict_Size(kwargs) : 0;
    if (n == 0 && nk == 0) return true;
    if (nk) PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", func);
    else PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", func, n);
    return false;
}

}  // namespace ahrs::py
