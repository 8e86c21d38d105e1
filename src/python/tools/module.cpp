// The tools' native core: tavrin_ahrs_tools._native.
#include "functions.hpp"

namespace ahrs::py {
namespace {

PyMethodDef g_methods[] = {catalogue_def, scan_def, scan_columns_def, dump_def, {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "tavrin_ahrs_tools._native",
    "Native core of the recording tools: decoding and export of recorded streams.",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace ahrs::py

PyMODINIT_FUNC PyInit__native() { return PyModule_Create2(&ahrs::py::g_def, PYTHON_ABI_VERSION); }
