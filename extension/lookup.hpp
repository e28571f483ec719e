// Name look-up as the interpreter does it for a global name in a function:
// the module namespace first, then the built-in names, and the interpreter's
// own NameError when neither holds it.
#pragma once

#include "ref.hpp"

namespace vx {

// The built-in namespace that functions of a module with these globals see:
// its "__builtins__" entry (a module stands for its dict), else the running
// frame's builtins.
Owned builtins_of(PyObject* globals) noexcept;

// New reference, or null with NameError (or a look-up error) set. A lazy
// import's placeholder in the namespace is resolved (lazy_import.hpp).
Owned lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) noexcept;

// Sets NameError "name 'x' is not defined", with its `name` attribute, as
// the interpreter does for an undefined global.
void raise_name_error(PyObject* name) noexcept;

}  // namespace vx
