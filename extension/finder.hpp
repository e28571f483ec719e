// The package's own import finder and its loaders, one loader per row of
// the module table. The finder stands in sys.meta_path behind the built-in
// and frozen finders and ahead of the path-based one, so the submodules
// always come out of the shared object, never from files under __path__.
#pragma once

#include "module_table.hpp"

namespace vx {

// Once per process: the finder and loader types, a loader for every row.
bool make_finder_and_loaders() noexcept;

// Inserts the finder into sys.meta_path at index 2 (at the end when the
// list is shorter).
bool place_finder() noexcept;

// The loader of a row (borrowed; lives for the rest of the process).
PyObject* loader_for(const ModuleRow& row) noexcept;

}  // namespace vx
