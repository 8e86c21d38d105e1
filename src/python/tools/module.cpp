// The tools' native core: tavrin_ahrs_tools._native.
#include "functions.hpp"

namespace ahrs::py {
namespace {

PyMethodDef g_methods[] = {catalogue_def,
                           wire_format_def,
                           scan_def,
                           scan_columns_def,
                           dump_def,
                           cut_times_def,
                           {nullptr, nullptr, 0, nullptr}};

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

PyMODINIT_FUNC PyInit__native() {
    using ahrs::py::PyRef;
    PyRef module = PyRef::steal(PyModule_Create2(&ahrs::py::g_def, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    PyRef live = ahrs::py::make_live_reader_type();
    if (!live || PyModule_AddObject(module.get(), "LiveReader", live.get()) < 0) return nullptr;
    (void)live.release();  // the module holds it now
    PyRef ros2 = ahrs::py::make_ros2_writer_type();
    if (!ros2 || PyModule_AddObject(module.get(), "Ros2Writer", ros2.get()) < 0) return nullptr;
    (void)ros2.release();
    return module.release();
}
