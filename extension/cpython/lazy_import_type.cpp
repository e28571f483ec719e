#include "lazy_import_type.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include <cstring>

#include "refusal.hpp"

// The interpreter exports the placeholders' type under this name, which
// only an internal header declares (the C API names no such type, and
// importing `types` for it would load a module that a Python package does
// not load). Weak, so that an interpreter without it still loads the
// module far enough to refuse it: a build forced into 3.14, or a CPython
// that renamed it.
extern "C" __attribute__((weak)) PyTypeObject PyLazyImport_Type;

namespace vx::cpython {

namespace lazy_import_detail {
std::atomic<PyTypeObject*> type{nullptr};
}  // namespace lazy_import_detail

namespace {
constexpr char type_name[] = "lazy_import";
}  // namespace

bool is_the_lazy_import_type(PyTypeObject* candidate) noexcept {
    if (candidate == nullptr || PyType_HasFeature(candidate, Py_TPFLAGS_HEAPTYPE) ||
        std::strcmp(candidate->tp_name, type_name) != 0) {
        return refuse("PyLazyImport_Type is not as expected");
    }
    return true;
}

bool find_lazy_import_type() noexcept {
    if (lazy_import_type() != nullptr) {
        return true;
    }
    PyTypeObject* found = &PyLazyImport_Type;
    if (!is_the_lazy_import_type(found)) {
        return false;
    }
    lazy_import_detail::type.store(found, std::memory_order_relaxed);
    return true;
}

}  // namespace vx::cpython

#endif
