// Where the dynamic loader loaded a shared object from, found without
// dladdr: glibc gave dladdr a new symbol version in 2.34, and importing it
// would refuse every older C library although the look-up itself is old.
#pragma once

namespace vx {

// The path under which the dynamic loader loaded the object that contains
// `address` (as it was given to dlopen or found on the search path, not
// resolved), or nullptr when no loaded object contains it or the object
// has no name.  The text belongs to the loader and lives as long as the
// object stays loaded; nothing is allocated.
const char* loaded_path(const void* address) noexcept;

}  // namespace vx
