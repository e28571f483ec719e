// The package directory's own path-entry finder. The path-based finder
// meets the package directory, vorlix.__path__[0], whenever it looks for a
// name below the package: for names outside the module table, and for the
// submodules too when the package's finder is not in sys.meta_path (a host
// put back an earlier meta path, or made it a tuple). pkgutil and pydoc
// meet it when they list the package's contents. The package finder,
// which is also a path hook and stands first in sys.path_hooks, answers for
// that one directory with a finder that serves and lists the submodules
// from the module table and leaves every other name to the finder that the
// other hooks make for the directory, when it exists, so files there are
// found as before.
#pragma once

#include "ref.hpp"
#include "state.hpp"

namespace vx {

// What the path hook gives for a path entry: a new finder for the package
// directory; null with ImportError for any other entry, as path hooks
// refuse one.
Owned directory_finder_for(PyObject* entry) noexcept;

// Puts the finder first in sys.path_hooks unless it is there
// already or the list takes no entries; when it places it, drops what
// sys.path_importer_cache already holds for the package directory, which
// would keep the hook from being asked.
bool place_path_hook(const State& state) noexcept;

}  // namespace vx
