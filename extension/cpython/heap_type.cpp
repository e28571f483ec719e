#include "heap_type.hpp"

#include "internals.hpp"

namespace vx::cpython {

bool rename_and_drop(PyTypeObject* type, const char* name, PyObject* key) noexcept {
    PyObject* dict = PyType_GetDict(type);
    const int found = dict != nullptr ? PyDict_Pop(dict, key, nullptr) : -1;
    Py_XDECREF(dict);
    if (found == 0) {
        return refuse("a heap type's dict lacks a member that its spec gave it");
    }
    if (found < 0) {
        return false;
    }
    type->tp_name = name;
    PyType_Modified(type);
    return true;
}

}  // namespace vx::cpython
