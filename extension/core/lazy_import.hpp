// The placeholders that CPython 3.15's lazy imports bind (PEP 810), as
// native code meets them in a module's namespace: a name bound by a lazy
// import holds a `types.LazyImportType` object until the name is first
// used, and every native read of a global resolves it the way the
// interpreter's own global look-up does. Their type is found at import
// (cpython/lazy_import_type.hpp).
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include "../cpython/lazy_import_type.hpp"

namespace vx {

class State;

inline bool is_lazy_import(PyObject* value) noexcept {
    return Py_IS_TYPE(value, cpython::lazy_import_type());
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
