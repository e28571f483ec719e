// `__code__` of a function-like object: a real code object whose
// co_argcount, co_varnames, co_flags and names describe the parameters, so
// that inspect.signature, help() and IDEs read the signature from it, and
// traceback entries and profilers name the function by it. The function
// never runs it: its body is C++.
//
// A Python function's `__code__` is simply there: near the recursion limit,
// from an audit hook or another thread, while the interpreter shuts down. So
// ours is made with the C API alone, without the compiler, an import or any
// Python code: the interpreter's own empty body (`raise AssertionError`, as
// PyCode_NewEmpty makes it for this CPython) with the one constant it raises
// replaced, so that a function made from the code object
// (types.FunctionType(f.__code__, {})) raises a TypeError that says why it
// cannot run.
//
// Its first instruction has no line. Monitoring events are fired at that
// offset, and a coverage tool that maps an event's offset to a line would
// record lines and arcs in the shared object's file, which has no source to
// report them against; with no line there it records nothing, as for code
// with no location. The rest keeps the function's own line: a traceback
// entry's frame stands past that first instruction, so tracebacks, pdb and
// `f_lineno` show the line the function stands at (co_firstlineno, which
// profilers show, is the same line).
#include "../core/names.hpp"
#include "../cpython/empty_body.hpp"
#include "../cpython/line_table.hpp"
#include "function_object.hpp"

namespace vx {

namespace {

const Text co_names{"co_names"};
const Text co_stacksize{"co_stacksize"};
const Text co_linetable{"co_linetable"};
const Text co_exceptiontable{"co_exceptiontable"};

// What a function made from the code object says when called.
constexpr char refusal_message[] =
    "this function was made from the code object of a vorlix function, which describes its "
    "parameters only: the body is native code and does not come with it";

// The class that the body raises: `raise NativeBody` calls it, and calling
// it raises the TypeError instead of making an instance.
PyObject* refuse(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, refusal_message);
    return nullptr;
}

PyType_Slot refusal_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse)},
    {0, nullptr},
};

PyType_Spec refusal_spec = {
    .name = "vorlix.NativeBody",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = refusal_slots,
};

int int_attribute(PyObject* object, PyObject* name) noexcept {
    const Owned value = steal(PyObject_GetAttr(object, name));
    return value ? PyLong_AsInt(value.get()) : -1;
}

// The body that every code object of the interpreter copies, with no name,
// place or parameters of its own.
Owned make_body(const State& state) noexcept {
    const Owned refusal = steal(PyType_FromSpecWithBases(&refusal_spec, PyExc_TypeError));
    const Owned consts = refusal ? steal(PyTuple_Pack(1, refusal.get())) : Owned{};
    const Owned empty = consts ? steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", 0)))
                               : Owned{};
    const Owned units = empty ? steal(cpython::raising_constant_zero(empty.get())) : Owned{};
    const Owned none = units ? steal(PyTuple_New(0)) : Owned{};
    const Owned linetable = none ? steal(cpython::first_unit_without_line(
                                       PyBytes_GET_SIZE(units.get()) / cpython::code_unit))
                                 : Owned{};
    const Owned exceptiontable =
        linetable ? steal(PyObject_GetAttr(empty.get(), state[co_exceptiontable])) : Owned{};
    const int stacksize = exceptiontable ? int_attribute(empty.get(), state[co_stacksize]) : -1;
    if (stacksize < 0) {
        return {};
    }
    PyObject* unnamed = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR);
    Owned body = steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        0, 0, 0, 0, stacksize, 0, units.get(), consts.get(), none.get(), none.get(), none.get(),
        none.get(), unnamed, unnamed, unnamed, 0, linetable.get(), exceptiontable.get())));
    return body && cpython::line_table_fits(body.get(), 0) ? std::move(body) : Owned{};
}

// The interpreter's body, made on the first read and kept. Nothing that
// makes it runs Python code, so no other read can come in between; another
// thread's read, or an allocation's garbage collection running a finaliser
// that reads one, at worst makes a second one, and the first kept wins.
Owned body_to_copy(State& state) noexcept {
    if (!state.code_body) {
        Owned made = make_body(state);
        if (!made) {
            return {};
        }
        if (!state.code_body) {
            state.code_body = std::move(made);
        }
    }
    return add_ref(state.code_body.get());
}

// The code object, copied from `body` with the function's parameters and
// with the names and place it was made with, as a Python function's code
// keeps those of its definition whatever its `__qualname__` or module's
// `__file__` become. The constructor rather than code.replace(): replace
// raises the `code.__new__` audit event, which a Python function's
// `__code__` does not. The constructor's API is unstable, but the package
// is built for each CPython release anyway.
Owned copy_code(const State& state, const FunctionObject* function, PyObject* body) noexcept {
    const FunctionSpec& spec = *function->spec;
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varargs ? CO_VARARGS : 0) |
                      (function->is_method ? CO_METHOD : 0);
    const Owned name = intern(spec.name);
    const Owned units = name ? steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(body)))
                             : Owned{};
    const Owned consts = units ? steal(PyObject_GetAttr(body, state[co_consts_attribute]))
                               : Owned{};
    const Owned names = consts ? steal(PyObject_GetAttr(body, state[co_names])) : Owned{};
    const Owned linetable = names ? steal(PyObject_GetAttr(body, state[co_linetable])) : Owned{};
    const Owned exceptiontable = linetable ? steal(PyObject_GetAttr(body, state[co_exceptiontable]))
                                           : Owned{};
    const int stacksize = exceptiontable ? int_attribute(body, state[co_stacksize]) : -1;
    if (stacksize < 0) {
        return {};
    }
    const auto argcount = static_cast<int>(positional_count(spec));
    const auto nlocals = static_cast<int>(PyTuple_GET_SIZE(function->varnames));
    return steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, stacksize, flags, units.get(), consts.get(), names.get(),
        function->varnames, names.get(), names.get(), function->defined_file, name.get(),
        function->defined_qualname, spec.line, linetable.get(), exceptiontable.get())));
}

// Made in the interpreter the function belongs to, whose state it holds;
// a function handed to another interpreter by address (which CPython does
// not support) gets a clear error there instead of objects that cross.
Owned make_code(const FunctionObject* function) noexcept {
    State& state = *function->state;
    if (PyInterpreterState_Get() != state.interpreter) {
        const std::string_view name = function->spec->name;
        PyErr_Format(PyExc_RuntimeError,
                     "vorlix: the function %.*s belongs to another interpreter; vorlix objects "
                     "cannot be shared between interpreters",
                     static_cast<int>(name.size()), name.data());
        return {};
    }
    const Owned body = body_to_copy(state);
    return body ? copy_code(state, function, body.get()) : Owned{};
}

}  // namespace

Owned code_of(FunctionObject* function) noexcept {
    if (function->code == nullptr) {
        Owned made = make_code(function);
        if (!made) {
            return {};
        }
        // A finaliser run by an allocation above may have made one first.
        if (function->code == nullptr) {
            function->code = made.release();
        }
    }
    return add_ref(function->code);
}

}  // namespace vx
