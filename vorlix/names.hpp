// The names that several of the package's modules read; each module
// declares the rest of its own. The runtime declares those it reads itself
// (core/names.hpp): "name" there is a spec's and a NameError's, here the
// handles' attribute.
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
extern const vx::Text name_attribute;     // "name", of a handle
#pragma GCC visibility pop

}  // namespace vorlix
