// `__code__` of a function-like object: a real code object whose
// co_argcount, co_varnames, co_flags and names describe the parameters, so
// that inspect.signature, help() and IDEs read the signature from it. Its
// byte code is the interpreter's own empty body; it is never run.
#include "function_object.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text dunder_file{"__file__"};
Text replace{"replace"};
Text co_argcount{"co_argcount"};
Text co_nlocals{"co_nlocals"};
Text co_varnames{"co_varnames"};
Text co_flags{"co_flags"};
Text co_qualname{"co_qualname"};

const char* file_name_of(PyObject* globals, Owned& holder) noexcept {
    if (PyDict_GetItemRef(globals, dunder_file, holder.out()) > 0 && PyUnicode_Check(holder.get())) {
        return PyUnicode_AsUTF8(holder);
    }
    PyErr_Clear();
    return "<vorlix>";
}

}  // namespace

Owned make_code(FunctionObject* function) noexcept {
    const FunctionSpec& spec = *function->spec;
    Owned file_holder;
    const char* file_name = file_name_of(function->globals, file_holder);
    const char* name = PyUnicode_AsUTF8(function->name);
    if (file_name == nullptr || name == nullptr) {
        return {};
    }
    Owned empty = steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(file_name, name, function->firstlineno)));
    if (!empty) {
        return {};
    }
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varargs ? CO_VARARGS : 0) |
                      (function->is_method ? CO_METHOD : 0);
    Owned argcount = steal(PyLong_FromSsize_t(positional_count(spec)));
    Owned nlocals = steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(function->varnames)));
    Owned flag_value = steal(PyLong_FromLong(flags));
    Owned kwnames = steal(PyTuple_Pack(5, co_argcount.get(), co_nlocals.get(), co_varnames.get(),
                                       co_flags.get(), co_qualname.get()));
    if (!argcount || !nlocals || !flag_value || !kwnames) {
        return {};
    }
    PyObject* args[] = {empty, argcount, nlocals, function->varnames, flag_value,
                        function->qualname};
    return steal(PyObject_VectorcallMethod(replace, args, 1,
                                           kwnames));
}

}  // namespace vx
