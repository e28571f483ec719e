// The two halves of an import statement as the interpreter runs them: the
// module import through the built-in `__import__`, and reading a name from
// the module with the fallback to a submodule and the interpreter's
// ImportError wording.
#pragma once

#include "../core/ref.hpp"

namespace vx {

class State;  // of the interpreter whose names they read

// `__import__(name, globals, None, fromlist, level)`, with `__import__`
// looked up in the built-in names of `globals`.
Owned import_name(const State& state, PyObject* globals, PyObject* name, PyObject* fromlist,
                  int level) noexcept;

// The `y` of `from x import y`: the module's attribute, else the module
// "x.y" already in sys.modules, else ImportError "cannot import name ...".
Owned import_from(const State& state, PyObject* module, PyObject* name) noexcept;

}  // namespace vx
