// The module's entry point: creates the module once per process and
// registers its function and classes.
#include "convert.hpp"
#include "errors.hpp"
#include "python/common/no_throw.hpp"
#include "python/common/py_ref.hpp"
#include "registry.hpp"

namespace ahrs::py {
namespace {

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "tavrin_ahrs_driver",
    "Driver for an attitude and heading reference system speaking MIP over a serial line.",
    // No per-module state. Not -1: for -1 the interpreter hands later
    // importers a copy of the first module's namespace without calling the
    // entry point, so a sub-interpreter would share this process's objects
    // instead of being refused.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // the one module object, kept for the life of the process
// Set once the interpreter that held the module has been finalised: what
// it left behind (the module's namespace, the classes) is no longer whole.
bool g_finalised = false;

void note_finalised() { g_finalised = true; }

// The main interpreter is the first one made, whose number is always 0.
bool in_main_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

PyObject* refuse(const char* why) {
    PyErr_SetString(PyExc_ImportError, why);
    return nullptr;
}

// Adds `name` to the module and appends it to __all__.
bool register_name(PyObject* module, const char* name, PyRef value) {
    if (!value) return false;
    PyObject* dict = PyModule_GetDict(module);
    PyObject* existing = PyDict_GetItemString(dict, "__all__");  // borrowed
    PyRef all;
    if (!existing) {
        all = PyRef::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
        existing = all.get();
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(existing, text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value.get()) == 0;
}

bool fill_module(PyObject* module) {
    if (!init_key_cache()) return false;
    PyRef modname = PyRef::steal(PyUnicode_FromString(g_def.m_name));
    if (!modname) return false;
    PyRef parse = PyRef::steal(PyCFunction_NewEx(&parse_data_stream_def, module, modname.get()));
    if (!register_name(module, "parse_data_stream_py", std::move(parse))) return false;
    if (!register_name(module, "AHRSClient", make_ahrs_client_type())) return false;
    if (!register_name(module, "BufferedAHRSClient", make_buffered_client_type())) return false;
    // The wheel's version, as its metadata gives it; not one of the exported names.
    return PyModule_AddStringConstant(module, "__version__", AHRS_VERSION) == 0;
}

// The module lives in the main interpreter only, whoever asks first.
PyObject* create_module() {
    if (!in_main_interpreter())
        return refuse("tavrin_ahrs_driver does not support sub-interpreters; import it from the main interpreter only");
    if (g_finalised)
        return refuse(
            "tavrin_ahrs_driver cannot be imported again after the interpreter was finalised in this "
            "process");
    if (g_module) return PyRef::borrow(g_module).release();

    PyRef module = PyRef::steal(PyModule_Create2(&g_def, PYTHON_ABI_VERSION));
    if (!module || !fill_module(module.get())) return nullptr;
    // Without a slot for the note a re-import would hand out a broken module.
    if (Py_AtExit(note_finalised) != 0) return refuse("tavrin_ahrs_driver: no room to register its exit handler");
    g_module = PyRef::borrow(module.get()).release();
    return module.release();
}

}  // namespace
}  // namespace ahrs::py

// An allocation failure while the module is built fails the import with
// MemoryError instead of ending the process.
PyMODINIT_FUNC PyInit_tavrin_ahrs_driver() { return ahrs::py::no_throw<ahrs::py::create_module>(); }
