// The placeholders that CPython 3.15's lazy imports bind (PEP 810), as
// native code meets them in a module's namespace: a name bound by a lazy
// import holds a `types.LazyImportType` object until the name is first
// used, and every native read of a global resolves it the way the
// interpreter's own global look-up does.
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include <atomic>

namespace vx {

class State;

namespace lazy_import_detail {
// The placeholders' type: a static type of the interpreter, the same object
// in every interpreter of the process, so it is found once and kept here;
// null until then.
// (Hidden, as everything but the entry point is: read directly, not
// through the global offset table, on every global look-up.)
extern __attribute__((visibility("hidden"))) std::atomic<PyTypeObject*> type;
}  // namespace lazy_import_detail

// Finds the placeholders' type, once per process. The C API names no such
// type and creating `types` or `_types` here would load a module that a
// Python package does not load, so it is taken from the static types that
// derive from object, by its name. Not finding it leaves every look-up as
// it is.
bool find_lazy_import_type(const State& state) noexcept;

inline bool is_lazy_import(PyObject* value) noexcept {
    return Py_IS_TYPE(value, lazy_import_detail::type.load(std::memory_order_relaxed));
}

// The value of `placeholder`, found in `globals` under `name`: the import
// runs now (or its earlier failure is raised again, with the lazy import's
// own cause), and the binding is replaced by the value only if it still
// holds this placeholder, so that a binding made meanwhile (by the import
// itself, say) stays.
Owned resolve_global(const State& state, PyObject* globals, PyObject* name,
                     Owned placeholder) noexcept;

}  // namespace vx

#endif
