// `__code__` of a function-like object: a real code object whose
// co_argcount, co_varnames, co_flags and names describe the parameters, so
// that inspect.signature, help() and IDEs read the signature from it. The
// function never runs it: its body is C++. A function that a caller makes
// from it (types.FunctionType(f.__code__, {})) runs the body below, which
// says so.
#include "function_object.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text dunder_file{"__file__"};
Text replace{"replace"};
Text co_consts{"co_consts"};
Text co_argcount{"co_argcount"};
Text co_nlocals{"co_nlocals"};
Text co_varnames{"co_varnames"};
Text co_flags{"co_flags"};
Text co_name{"co_name"};
Text co_qualname{"co_qualname"};
Text co_filename{"co_filename"};
Text co_firstlineno{"co_firstlineno"};

// What a function made from the code object says when called.
constexpr char refusal_message[] =
    "this function was made from the code object of a vorlix function, which describes its "
    "parameters only: the body is native code and does not come with it";

// `def refusal(): raise TypeError(refusal_message)`, built as a syntax tree
// and compiled anew (a code object belongs to the interpreter that made it).
// It always raises, reads no local (the parameters it would be given are
// not its own) and is neither a generator nor a coroutine.
Owned refusal_code() noexcept {
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
    Owned consts = module_code ? steal(PyObject_GetAttr(module_code, co_consts)) : Owned{};
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

// The module's file name, or null (no error) when it has none that is text.
Owned file_name_of(PyObject* globals) noexcept {
    Owned file;
    if (PyDict_GetItemRef(globals, dunder_file, file.out()) > 0 && PyUnicode_Check(file.get())) {
        return file;
    }
    PyErr_Clear();
    return {};
}

}  // namespace

Owned make_code(FunctionObject* function) noexcept {
    const FunctionSpec& spec = *function->spec;
    Owned body = refusal_code();
    if (!body) {
        return {};
    }
    Owned file = file_name_of(function->globals);
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varargs ? CO_VARARGS : 0) |
                      (function->is_method ? CO_METHOD : 0);
    // co_name is the name the function was made with, as for a Python
    // function renamed later; passed as an object, so any text will do.
    Owned name = intern(spec.name);
    Owned argcount = steal(PyLong_FromSsize_t(positional_count(spec)));
    Owned nlocals = steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(function->varnames)));
    Owned flag_value = steal(PyLong_FromLong(flags));
    Owned firstlineno = steal(PyLong_FromLong(function->firstlineno));
    Owned kwnames = file ? steal(PyTuple_Pack(8, co_argcount.get(), co_nlocals.get(),
                                              co_varnames.get(), co_flags.get(), co_name.get(),
                                              co_qualname.get(), co_firstlineno.get(),
                                              co_filename.get()))
                         : steal(PyTuple_Pack(7, co_argcount.get(), co_nlocals.get(),
                                              co_varnames.get(), co_flags.get(), co_name.get(),
                                              co_qualname.get(), co_firstlineno.get()));
    if (!name || !argcount || !nlocals || !flag_value || !firstlineno || !kwnames) {
        return {};
    }
    PyObject* args[] = {body,       argcount,          nlocals,     function->varnames,
                        flag_value, name,              function->qualname,
                        firstlineno, file.get()};
    return steal(PyObject_VectorcallMethod(replace, args, 1, kwnames));
}

}  // namespace vx
