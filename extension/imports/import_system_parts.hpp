// What the files behind import_system.hpp ask of each other; nothing else
// includes this header.
#pragma once

#include "../core/ref.hpp"
#include "../core/state.hpp"
#include "../module/run_module.hpp"

namespace vx {

// finder.cpp: the ModuleSpec of the module of the table named `name` (a
// str), with the row's loader; None for any other name, and for the package
// itself unless `with_package`. The table's names are taken relative to
// each name the package was imported under in this interpreter.
Owned table_spec(const State& state, PyObject* name, bool with_package) noexcept;
// The module's name becomes one that the finders answer to while the module
// stands in sys.modules under it, as the import system puts it there before
// the body runs. A copy loaded by path and kept out of sys.modules serves no
// names, as a Python package loaded that way finds its submodules through
// sys.path.
bool answer_to_name_of(const State& state, PyObject* module) noexcept;

// directory_finder.cpp: what the path hook gives for a path entry, a new
// finder for the package directory; null with ImportError for any other
// entry, as path hooks refuse one. The type is made on the first use of the
// hook, not at import: most processes never list or re-find the package's
// submodules.
Owned directory_finder_for(PyObject* entry) noexcept;
// Whether `object` is such a finder.
bool is_directory_finder(const State& state, PyObject* object) noexcept;

// resources.cpp: the package directory, as the package loaders' `files()`
// gives it. The type is made on the first call: most processes never ask.
Owned package_directory(State& state) noexcept;

// import_system.cpp: the sys attribute `name` that the import system reads
// (sys.meta_path, sys.path_hooks, ...); RuntimeError when it is gone, in
// the import system's words.
Owned sys_setting(const char* name) noexcept;

}  // namespace vx
