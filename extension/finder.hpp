// The package's own import finder and its loaders, one loader per row of
// the module table. The finder stands in sys.meta_path behind the built-in
// and frozen finders and ahead of the path-based one, so the submodules
// always come out of the shared object, never from files under __path__.
#pragma once

#include "state.hpp"

namespace vx {

// The finder and loader types of an interpreter, a loader for every row,
// into its state.
bool make_finder_and_loaders(State& state) noexcept;

// Inserts the finder into sys.meta_path at index 2 (at the end when the
// list is shorter), unless it is there already.
bool place_finder(const State& state) noexcept;

}  // namespace vx
