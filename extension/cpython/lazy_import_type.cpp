#include "lazy_import_type.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include <cstring>

#include "internals.hpp"

// The interpreter exports the placeholders' type under this name, which
// only an internal header declares. Reading it costs the dynamic loader one
// symbol, where listing every static type that derives from object, below,
// costs more than the rest of the state's set-up. Weak, so that an
// interpreter without it still loads the module, which then searches (and
// a build forced into 3.14 loads far enough to refuse it).
extern "C" __attribute__((weak)) PyTypeObject PyLazyImport_Type;

namespace vx::cpython {

namespace lazy_import_detail {
std::atomic<PyTypeObject*> type{nullptr};
}  // namespace lazy_import_detail

namespace {

constexpr char type_name[] = "lazy_import";

// Creating `types` or `_types` here would load a module that a Python
// package does not load: the type is taken from the static types that
// derive from object, by its name. Null, without an error, when none is.
PyTypeObject* search() noexcept {
    PyObject* derived = PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                            "__subclasses__", nullptr);
    PyTypeObject* found = nullptr;
    for (Py_ssize_t i = 0; derived != nullptr && PyList_Check(derived) &&
                           i < PyList_GET_SIZE(derived) && found == nullptr;
         ++i) {
        PyObject* item = PyList_GET_ITEM(derived, i);
        auto* type = reinterpret_cast<PyTypeObject*>(item);
        // A class of Python code is a heap type; the interpreter's own is not.
        if (PyType_Check(item) && !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
            std::strcmp(type->tp_name, type_name) == 0) {
            found = type;  // static: lives as long as the interpreter
        }
    }
    Py_XDECREF(derived);
    PyErr_Clear();  // what failed is said below
    return found;
}

}  // namespace

bool is_the_lazy_import_type(PyTypeObject* candidate) noexcept {
    if (candidate == nullptr || PyType_HasFeature(candidate, Py_TPFLAGS_HEAPTYPE) ||
        std::strcmp(candidate->tp_name, type_name) != 0) {
        return refuse("its lazy imports' placeholder type (PyLazyImport_Type) is not found");
    }
    return true;
}

bool find_lazy_import_type() noexcept {
    if (lazy_import_type() != nullptr) {
        return true;
    }
    PyTypeObject* found = &PyLazyImport_Type != nullptr ? &PyLazyImport_Type : search();
    if (!is_the_lazy_import_type(found)) {
        return false;
    }
    lazy_import_detail::type.store(found, std::memory_order_relaxed);
    return true;
}

}  // namespace vx::cpython

#endif
