// The layout of the function-like object, shared by the files that build,
// call and describe it. Nothing outside extension/ sees it.
#pragma once

#include <span>

#include "../core/built_code.hpp"
#include "../core/state.hpp"
#include "function_spec.hpp"
#include "monitoring_state.hpp"

namespace vx {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    // What the module's compiled Python text says of the function: its
    // code's names, locals and first line, and its annotate code.
    const built::Module* text;
    const built::Function* built;
    State* state;  // held through state->object(): the interpreter's names and types
    PyObject* const* constants;  // the state's, read by every call
    // Which tools are told of its calls (monitoring.hpp), and the code object
    // that may have events of its own: read by every call, so beside the
    // fields above, in the object's first cache lines.
    Monitoring monitoring;
    PyObject* code;  // made on first use of __code__
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // any object, normally the module's name; null once deleted
    PyObject* doc;          // any object, None unless a caller sets it
    PyObject* globals;      // dict of the defining module
    PyObject* builtins;     // the built-in names seen through `globals`
    PyObject* varnames;     // tuple: parameter names, then further locals
    PyObject* defaults;     // tuple of trailing defaults, or null for none
    PyObject* kwdefaults;   // dict a caller set, or null
    PyObject* type_params;  // tuple a caller set, or null for none
    PyObject* annotations;  // dict, or null until __annotate__ makes it again
    // The callable behind `__annotate__`: the function's own, made from its
    // built annotate code on first use (annotations.cpp) and kept so that
    // every read gives the same object; or one a caller set; null for None.
    PyObject* annotate;
    // A method's class, whose namespace its annotations read before the
    // module's; set once the class is made, null for a module's function.
    PyObject* defining_class;
    // What the code object is named with whenever it is made: the function's
    // qualified name and its module's `__file__` as they were when the
    // function was made (str).
    PyObject* defined_qualname;
    PyObject* defined_file;
    bool annotate_to_make;   // the function's own annotate function is still to be made
};

inline FunctionObject* as_function(PyObject* object) noexcept {
    return reinterpret_cast<FunctionObject*>(object);
}

// Number of parameters that take a single positional argument.
inline Py_ssize_t positional_count(const FunctionSpec& spec) noexcept {
    return static_cast<Py_ssize_t>(spec.params.size()) - (spec.varargs ? 1 : 0);
}

// The type's vectorcall: every call of a function comes here (function.cpp).
PyObject* call_function(PyObject* self, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames) noexcept;

// Runs the body of a bound call, and adds the traceback entry of an error
// that leaves it.
PyObject* enter(FunctionObject* function, const Call& call) noexcept;

// Binds a call that the fast path could not take: keywords, defaults, and
// the interpreter's TypeError for calls that do not fit. On success fills
// `bound` (borrowed references) and `rest`, and holds in `defaults` the
// tuple that the defaults in `bound` come from: a caller may replace
// `__defaults__` while the body runs.
bool bind_arguments(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound, std::span<PyObject* const>& rest,
                    Owned& defaults) noexcept;

// The attributes that describe a function, as a Python function's
// (function_attributes.cpp).
extern PyGetSetDef function_getset[];

// `__annotate__` and `__annotations__` (annotations.cpp), for
// function_getset.
PyObject* get_annotate(PyObject* self, void*) noexcept;
int set_annotate(PyObject* self, PyObject* value, void*) noexcept;
PyObject* get_annotations(PyObject* self, void*) noexcept;
int set_annotations(PyObject* self, PyObject* value, void*) noexcept;

// The function's annotations, evaluated in `scope`; a parameter's is keyed
// by its name in `varnames`, the function's.
Owned make_annotations(const FunctionSpec& spec, const Scope& scope, PyObject* varnames) noexcept;

// The code object behind `__code__`, made on first use; every read gives
// the same one.
Owned code_of(FunctionObject* function) noexcept;

// Adds an entry for the function to the traceback of the exception that
// is leaving its body, as the interpreter does for a Python function's
// frame, with the call's arguments and kept local as the frame's locals.
void add_traceback_entry(FunctionObject* function, const Call& call) noexcept;

}  // namespace vx
