// What every module of the package carries besides its own names: the
// standard module attributes, and where the shared object says the package
// lives.
#pragma once

#include "../core/module_table.hpp"
#include "../core/ref.hpp"
#include "../core/state.hpp"

namespace vx {

// Records in an interpreter's state where the shared object was loaded from.
bool locate_shared_object(State& state) noexcept;

// The package directory, D + "/" + the package's name, then "/", the
// module's leaf name ("__init__" for the package) and the shared object's
// own file-name suffix.
Owned module_file(const State& state, const ModuleRow& row) noexcept;

// A new list holding the package directory: the package's `__path__`.
Owned package_search_path(const State& state) noexcept;

bool set_standard_attributes(const State& state, const ModuleRow& row, PyObject* module) noexcept;

}  // namespace vx
