#include "lazy_import.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include <cstring>

#include "names.hpp"
#include "state.hpp"

// The interpreter exports the placeholders' type under this name, which no
// public header declares. Reading it costs the dynamic loader one symbol,
// where listing every static type that derives from object, below, costs
// more than the rest of the state's set-up. Weak, so that an interpreter
// without it still loads the module, which then searches as below (and a
// build forced into 3.14 loads far enough to refuse it).
extern "C" __attribute__((weak)) PyTypeObject PyLazyImport_Type;

namespace vx {

namespace lazy_import_detail {
std::atomic<PyTypeObject*> type{nullptr};
}  // namespace lazy_import_detail

namespace {
const Text subclasses_method{"__subclasses__"};
const Text resolve_method{"resolve"};
}  // namespace

bool find_lazy_import_type(const State& state) noexcept {
    if (lazy_import_detail::type.load(std::memory_order_relaxed) != nullptr) {
        return true;
    }
    if (&PyLazyImport_Type != nullptr) {
        lazy_import_detail::type.store(&PyLazyImport_Type, std::memory_order_relaxed);
        return true;
    }
    const Owned derived = steal(
        PyObject_CallMethodNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                  state[subclasses_method]));
    if (!derived || !PyList_Check(derived.get())) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(derived.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(derived.get(), i);
        if (!PyType_Check(item)) {
            continue;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(item);
        // A class of Python code is a heap type; the interpreter's own is not.
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
            std::strcmp(type->tp_name, "lazy_import") == 0) {
            lazy_import_detail::type.store(type, std::memory_order_relaxed);
            break;
        }
    }
    return true;
}

Owned resolve_global(const State& state, PyObject* globals, PyObject* name,
                     Owned placeholder) noexcept {
    Owned value = steal(PyObject_CallMethodNoArgs(placeholder.get(), state[resolve_method]));
    Owned bound;
    if (!value || PyDict_GetItemRef(globals, name, bound.out()) < 0) {
        return {};
    }
    if (bound.get() == placeholder.get() && PyDict_SetItem(globals, name, value.get()) < 0) {
        return {};
    }
    return value;
}

}  // namespace vx

#endif
