// The package's own import finder and its loaders, one loader per row of
// the module table. The finder stands in sys.meta_path behind the built-in
// and frozen finders and ahead of the path-based one, so the submodules
// always come out of the shared object, never from files under __path__.
// Called with a path entry it is a path hook, and it stands first in
// sys.path_hooks too (directory_finder.hpp).
#pragma once

#include "ref.hpp"
#include "state.hpp"
#include "names.hpp"

namespace vx {

// The finder and loader types of an interpreter, a loader for every row,
// into its state.
bool make_finder_and_loaders(State& state) noexcept;

// Inserts the finder into sys.meta_path at index 2 (at the end when the
// list is shorter), unless it is there already or the meta path takes no
// entries.
bool place_finder(const State& state) noexcept;

// The ModuleSpec of the module of the table named `name` (a str), with the
// row's loader; None for any other name, and for the package itself
// unless `with_package`. The table's names are taken relative to each name
// the package was imported under in this interpreter.
Owned table_spec(const State& state, PyObject* name, bool with_package) noexcept;

// Runs the package body on `module`, whichever loader runs it (the
// interpreter's, or the package's own on a reload): the module's name
// becomes one the finders answer to, the finder and its path hook are
// placed again wherever a host took them out, and then the row runs.
bool run_package(State& state, PyObject* module) noexcept;

// Inserts `item` into `list` (sys.meta_path, sys.path_hooks) at index 2, or
// at the end of a shorter list, or at the front; unless it is there already
// (the very object) or the list takes no entries (a host may make it a
// tuple). 1 when inserted, 0 when left as it was, -1 with an error set.
int insert_once(const State& state, PyObject* list, PyObject* item, bool at_the_front) noexcept;

// The sys module that the import system reads its meta path, path hooks
// and caches from: that of importlib's bootstrap, reached through it rather
// than PySys_GetObject, which nothing else runs at import (see intern in
// names.cpp).
Owned import_system_sys(const State& state) noexcept;

}  // namespace vx
