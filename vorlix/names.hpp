// The names that several of the package's modules read; each module
// declares the rest of its own. The runtime declares those it reads itself
// (core/names.hpp).
#pragma once

#include "../extension/core/names.hpp"

namespace vorlix {

// Hidden, as the runtime's are: bodies read their slots directly.
#pragma GCC visibility push(hidden)
extern const vx::Text tool_path;          // "/opt/bin/vorlix"
extern const vx::Text runner_name;        // "vorlix", the runner's global name
extern const vx::Text subprocess_module;  // "subprocess"
extern const vx::Text keys_method;        // "keys"
extern const vx::Text splitlines_method;  // "splitlines"
#pragma GCC visibility pop

// "name", a handle's attribute: the runtime's own interned "name" (a
// spec's, a NameError's) is the same string, and one slot serves both.
using vx::name_attribute;

}  // namespace vorlix
