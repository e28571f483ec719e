#include "heap_type.hpp"

#include "refusal.hpp"

namespace vx::cpython {

bool rename_and_drop(PyTypeObject* type, const char* name, PyObject* key) noexcept {
    if (PyDict_DelItem(type->tp_dict, key) < 0) {
        return PyErr_ExceptionMatches(PyExc_KeyError) != 0
                   ? refuse("a type lacks a member its spec gave it")
                   : false;
    }
    type->tp_name = name;
    PyType_Modified(type);
    return true;
}

}  // namespace vx::cpython
