// The function-like callable that every function and method of the package
// is made of. To the interpreter and its tools it looks like a Python
// function: it carries `__code__` (a real code object describing the
// parameters), `__defaults__`, `__kwdefaults__`, `__annotations__`,
// `__annotate__`, `__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__globals__` and `__dict__`; it binds as a method; it is called through
// vectorcall and refuses wrong calls with the interpreter's own wording; and
// it pickles by qualified name. Its body is a C++ function.
#pragma once

#include "../core/built_code.hpp"
#include "../core/ref.hpp"
#include "function_spec.hpp"

namespace vx {

class State;

// A new function for `spec`, which `built` of the module's compiled text
// describes, defined in the module whose namespace is `globals`, with the
// qualified name `qualname_prefix` + name (the prefix is the str "App." for
// a method of App, null for a module-level function). The annotations are
// evaluated here. The function holds `state`, its interpreter's, until it
// is freed. The interpreter's first function makes the type into the state.
Owned make_function(State& state, const FunctionSpec& spec, const built::Module& text,
                    const built::Function& built, PyObject* globals,
                    PyObject* qualname_prefix) noexcept;

// The name of a function that make_function has just made (borrowed): the
// key its class or module binds it under.
PyObject* defined_name(PyObject* function) noexcept;

// Tells a method that make_function has made which class now holds it: its
// annotate function reads the class's namespace.
void set_defining_class(PyObject* function, PyTypeObject* cls) noexcept;

}  // namespace vx
