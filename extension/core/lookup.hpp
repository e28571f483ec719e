// Name look-up as the interpreter does it for a global name in a function:
// the module namespace first, then the built-in names, and the interpreter's
// own NameError when neither holds it.
#pragma once

#include "lazy_import.hpp"
#include "ref.hpp"

namespace vx {

class State;  // of the interpreter whose names the look-up reads

// The built-in namespace that functions of a module with these globals see:
// its "__builtins__" entry (a module stands for its dict), else the running
// frame's builtins.
Owned builtins_of(const State& state, PyObject* globals) noexcept;

// The file that code defined in a module with these globals names: its
// `__file__` when that is text, else "<unknown>"; null on a look-up error.
Owned file_of(const State& state, PyObject* globals) noexcept;

// Sets NameError "name 'x' is not defined", with its `name` attribute, as
// the interpreter does for an undefined global.
void raise_name_error(const State& state, PyObject* name) noexcept;

// Where global names are looked up: a module's namespace, then the
// built-in names its functions see, with the state of the interpreter they
// belong to.
struct Scope {
    const State& state;
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
};

// New reference, or null with NameError (or a look-up error) set. A lazy
// import's placeholder in the namespace is resolved (lazy_import.hpp).
// Inline: a body's look-up keeps to its caller's registers, and only the
// rare paths take the state.
inline Owned lookup_global(const Scope& scope, PyObject* name) noexcept {
    Owned value;
    if (PyDict_GetItemRef(scope.globals, name, value.out()) != 0) {
#if PY_VERSION_HEX >= 0x030F0000
        if (value && is_lazy_import(value.get())) [[unlikely]] {
            return resolve_global(scope.state, scope.globals, name, std::move(value));
        }
#endif
        return value;  // found, or failed with the error set
    }
    if (PyMapping_GetOptionalItem(scope.builtins, name, value.out()) != 0) {
        return value;
    }
    raise_name_error(scope.state, name);
    return {};
}

}  // namespace vx
