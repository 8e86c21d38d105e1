#include "class_object.hpp"

namespace ahrs::py {

PyRef make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    return PyRef::steal(PyType_FromSpec(&spec));
}

}  // namespace ahrs::py
