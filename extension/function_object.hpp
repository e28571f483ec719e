// The layout of the function-like object, shared by the files that build,
// call and describe it. Nothing outside extension/ sees it.
#pragma once

#include <span>

#include "function.hpp"
#include "state.hpp"

namespace vx {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    State* state;           // held: the interpreter's names and types
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // any object, normally the module's name
    PyObject* doc;          // None
    PyObject* globals;      // dict of the defining module
    PyObject* builtins;     // the built-in names seen through `globals`
    PyObject* varnames;     // tuple: parameter names, then further locals
    PyObject* defaults;     // tuple of trailing defaults, or null for none
    PyObject* annotations;  // dict, or null once deleted
    PyObject* code;         // made on first use of __code__
    int firstlineno;
    bool is_method;
    bool annotations_as_made;  // false once a caller replaces __annotations__
};

inline FunctionObject* as_function(PyObject* object) noexcept {
    return reinterpret_cast<FunctionObject*>(object);
}

// Number of parameters that take a single positional argument.
inline Py_ssize_t positional_count(const FunctionSpec& spec) noexcept {
    return static_cast<Py_ssize_t>(spec.params.size()) - (spec.varargs ? 1 : 0);
}

// Binds a call that the fast path could not take: keywords, defaults, and
// the interpreter's TypeError for calls that do not fit. On success fills
// `bound` (borrowed references) and `rest`.
bool bind_arguments(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound,
                    std::span<PyObject* const>& rest) noexcept;

// The code object behind `__code__`.
Owned make_code(FunctionObject* function) noexcept;

}  // namespace vx
