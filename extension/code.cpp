// `__code__` of a function-like object: a real code object whose
// co_argcount, co_varnames, co_flags and names describe the parameters, so
// that inspect.signature, help() and IDEs read the signature from it. The
// function never runs it: its body is C++. A function that a caller makes
// from it (types.FunctionType(f.__code__, {})) runs the body below, which
// says so.
//
// A Python function's `__code__` is there at any time, so ours is made
// without the import system once the interpreter has a body to copy: from
// a `__del__` or an atexit handler while the interpreter shuts down, too.
#include "function_object.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text dunder_file{"__file__"};
Text co_consts{"co_consts"};
Text co_names{"co_names"};
Text co_stacksize{"co_stacksize"};
Text co_filename{"co_filename"};
Text co_linetable{"co_linetable"};
Text co_exceptiontable{"co_exceptiontable"};

// What a function made from the code object says when called.
constexpr char refusal_message[] =
    "this function was made from the code object of a vorlix function, which describes its "
    "parameters only: the body is native code and does not come with it";

// `def refusal(): raise TypeError(refusal_message)`, built as a syntax tree
// and compiled anew (a code object belongs to the interpreter that made it).
// It always raises, reads no local (the parameters it would be given are
// not its own) and is neither a generator nor a coroutine.
Owned refusal_code(const State& state) noexcept {
    Owned ast = steal(PyImport_ImportModule("ast"));
    Owned load = ast ? steal(PyObject_CallMethod(ast, "Load", nullptr)) : Owned{};
    Owned error = load ? steal(PyObject_CallMethod(ast, "Name", "sO", "TypeError", load.get()))
                       : Owned{};
    Owned why = error ? steal(PyObject_CallMethod(ast, "Constant", "s", refusal_message))
                      : Owned{};
    Owned call = why ? steal(PyObject_CallMethod(ast, "Call", "O[O][]", error.get(), why.get()))
                     : Owned{};
    Owned raise = call ? steal(PyObject_CallMethod(ast, "Raise", "O", call.get())) : Owned{};
    Owned arguments = raise ? steal(PyObject_CallMethod(ast, "arguments", nullptr)) : Owned{};
    Owned function = arguments ? steal(PyObject_CallMethod(ast, "FunctionDef", "sO[O]", "refusal",
                                                           arguments.get(), raise.get()))
                               : Owned{};
    Owned tree = function ? steal(PyObject_CallMethod(ast, "Module", "[O][]", function.get()))
                          : Owned{};
    Owned located = tree ? steal(PyObject_CallMethod(ast, "fix_missing_locations", "O", tree.get()))
                         : Owned{};
    Owned compile = located ? steal(PyMapping_GetItemString(PyEval_GetBuiltins(), "compile"))
                            : Owned{};
    Owned module_code = compile ? steal(PyObject_CallFunction(compile, "Oss", located.get(),
                                                              "<vorlix>", "exec"))
                                : Owned{};
    Owned consts = module_code ? steal(PyObject_GetAttr(module_code, state.value(co_consts)))
                               : Owned{};
    if (!consts) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item)) {
            return add_ref(item);
        }
    }
    PyErr_SetString(PyExc_SystemError, "no code object for the function body");
    return {};
}

// The body to copy. The refusal is made once per interpreter, on the first
// read, and kept. Making it imports and compiles, which runs audit hooks,
// and a hook may read `__code__` again: such a read, or one from another
// thread meanwhile, gets the interpreter's own empty body, which raises
// AssertionError when run and needs neither import nor compiler. So does
// a read when the refusal cannot be made at all, as while the interpreter
// shuts down and imports nothing: the signature is what readers need.
Owned body_to_copy(State& state) noexcept {
    if (state.code_body == nullptr && !state.making_code_body) {
        state.making_code_body = true;
        Owned made = refusal_code(state);
        state.making_code_body = false;
        if (made && state.code_body == nullptr) {
            state.code_body = made.release();
        } else if (!made && (!PyErr_ExceptionMatches(PyExc_Exception) ||
                             PyErr_ExceptionMatches(PyExc_RecursionError) ||
                             PyErr_ExceptionMatches(PyExc_MemoryError))) {
            // The caller's (KeyboardInterrupt and the like), or passing: a
            // later read makes the refusal.
            return {};
        }
        PyErr_Clear();
    }
    if (state.code_body != nullptr) {
        return add_ref(state.code_body);
    }
    return steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<vorlix>", "refusal", 1)));
}

// The module's file name, or null (no error) when it has none that is text.
Owned file_name_of(const State& state, PyObject* globals) noexcept {
    Owned file;
    if (PyDict_GetItemRef(globals, state.value(dunder_file), file.out()) > 0 &&
        PyUnicode_Check(file.get())) {
        return file;
    }
    PyErr_Clear();
    return {};
}

int int_attribute(PyObject* object, PyObject* name) noexcept {
    Owned value = steal(PyObject_GetAttr(object, name));
    return value ? PyLong_AsInt(value) : -1;
}

// The code object, copied from `body` with the function's parameters,
// names and place. The constructor rather than code.replace(): replace
// raises the `code.__new__` audit event, whose hooks could read `__code__`
// again before this one is made, and a Python function's `__code__` raises
// no such event. The constructor's API is unstable, but the package is
// built for each CPython release anyway.
Owned copy_code(const State& state, FunctionObject* function, PyObject* body) noexcept {
    const FunctionSpec& spec = *function->spec;
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varargs ? CO_VARARGS : 0) |
                      (function->is_method ? CO_METHOD : 0);
    Owned file = file_name_of(state, function->globals);
    if (!file) {
        file = steal(PyObject_GetAttr(body, state.value(co_filename)));
    }
    // co_name is the name the function was made with, as for a Python
    // function renamed later.
    Owned name = intern(spec.name);
    Owned bytes = steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(body)));
    Owned consts = steal(PyObject_GetAttr(body, state.value(co_consts)));
    Owned names = steal(PyObject_GetAttr(body, state.value(co_names)));
    Owned linetable = steal(PyObject_GetAttr(body, state.value(co_linetable)));
    Owned exceptiontable = steal(PyObject_GetAttr(body, state.value(co_exceptiontable)));
    const int stacksize = int_attribute(body, state.value(co_stacksize));
    Owned empty = steal(PyTuple_New(0));
    if (!file || !name || !bytes || !consts || !names || !linetable || !exceptiontable ||
        (stacksize < 0 && PyErr_Occurred()) || !empty) {
        return {};
    }
    const auto argcount = static_cast<int>(positional_count(spec));
    const auto nlocals = static_cast<int>(PyTuple_GET_SIZE(function->varnames));
    return steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, stacksize, flags, bytes, consts, names, function->varnames,
        empty, empty, file, name, function->qualname, function->firstlineno, linetable,
        exceptiontable)));
}

// Made in the interpreter the function belongs to, whose state it holds;
// a function handed to another interpreter by address (which CPython does
// not support) gets a clear error there instead of objects that cross.
Owned make_code(FunctionObject* function) noexcept {
    State& state = *function->state;
    if (PyInterpreterState_Get() != state.interpreter) {
        const std::string_view name = function->spec->name;
        PyErr_Format(PyExc_RuntimeError,
                     "vorlix: the function %.*s belongs to another interpreter; vorlix objects "
                     "cannot be shared between interpreters",
                     static_cast<int>(name.size()), name.data());
        return {};
    }
    Owned body = body_to_copy(state);
    return body ? copy_code(state, function, body) : Owned{};
}

}  // namespace

Owned code_of(FunctionObject* function) noexcept {
    if (function->code == nullptr) {
        // Making it may run Python code (audit hooks, the import of `ast`,
        // another thread) that reads it meanwhile: the first one stored is
        // the one every read gives.
        Owned made = make_code(function);
        if (!made) {
            return {};
        }
        if (function->code == nullptr) {
            function->code = made.release();
        }
    }
    return add_ref(function->code);
}

}  // namespace vx
