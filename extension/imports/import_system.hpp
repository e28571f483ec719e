// The package's part in the import system, which the rest of the extension
// reaches through this header alone.
//
// The package's own finder, with one loader per row of the module table,
// stands in sys.meta_path behind the built-in and frozen finders and ahead
// of the path-based one, so the submodules always come out of the shared
// object, never from files under __path__ (finder.cpp). Called with a path
// entry, the finder is also a path hook, and it stands first in
// sys.path_hooks: the path-based finder meets the package directory,
// vorlix.__path__[0], whenever it looks for a name below the package (for
// names outside the module table, and for the submodules too when the
// package's finder is not in sys.meta_path: a host put back an earlier meta
// path, or made it a tuple), and pkgutil and pydoc meet it when they list
// the package's contents. For that one directory the hook gives a finder
// that serves and lists the submodules from the module table and leaves
// every other name to the finder that the other hooks make for the
// directory, when it exists, so files there are found as before
// (directory_finder.cpp). importlib.resources reads the package directory
// through the loaders (resources.cpp). Every run of the package body puts
// the finder back in both lists wherever a host took it out
// (import_system.cpp).
#pragma once

#include "../core/state.hpp"

namespace vx {

// The finder and loader types of an interpreter, a loader for every row,
// into its state.
bool make_finder_and_loaders(State& state) noexcept;

// Runs the package body on `module`, whichever loader runs it (the
// interpreter's, or the package's own on a reload): the module's name
// becomes one the finders answer to, the finder and its path hook are
// placed again wherever a host took them out, and then the row runs.
bool run_package(State& state, PyObject* module) noexcept;

}  // namespace vx
