// The placeholders' type of CPython 3.15's lazy imports (PEP 810), which
// the C API does not name: found once per process at import, then read by
// every global look-up (core/lazy_import.hpp).
#pragma once

#include <Python.h>

#if PY_VERSION_HEX >= 0x030F0000

#include <atomic>

namespace vx::cpython {

namespace lazy_import_detail {
// A static type of the interpreter, the same object in every interpreter of
// the process; null until found. (Hidden, as everything but the entry point
// is: read directly, not through the global offset table.)
extern __attribute__((visibility("hidden"))) std::atomic<PyTypeObject*> type;
}  // namespace lazy_import_detail

inline PyTypeObject* lazy_import_type() noexcept {
    return lazy_import_detail::type.load(std::memory_order_relaxed);
}

// Whether `candidate` is the placeholders' type as the runtime knows it: a
// static type named "lazy_import"; false with ImportError set when not.
bool is_the_lazy_import_type(PyTypeObject* candidate) noexcept;

// The check made at import: the type found, and kept.
bool find_lazy_import_type() noexcept;

}  // namespace vx::cpython

#endif
