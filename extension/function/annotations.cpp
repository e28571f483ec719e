// A function's annotations: made from the table its module file writes,
// evaluated at definition; `__annotate__`, which answers every format as
// annotationlib answers for a Python function; and the two attributes
// that hold them.
#include <cstddef>
#include <string_view>

#include "../core/names.hpp"
#include "forward_ref.hpp"
#include "function_object.hpp"

namespace vx {

namespace {

const Text return_key{"return"};

// The key of an annotation, the name of a parameter or "return", as the
// interned str that the function already holds: interning it again for
// every annotation of every function made at import costs more than the
// look-up.
Owned annotation_key(const FunctionSpec& spec, const Scope& scope, PyObject* varnames,
                     std::string_view key) noexcept {
    if (key == "return") {
        return add_ref(scope.state[return_key]);
    }
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        if (spec.params[i].name == key) {
            return add_ref(PyTuple_GET_ITEM(varnames, static_cast<Py_ssize_t>(i)));
        }
    }
    return intern(key);
}

}  // namespace

Owned make_annotations(const FunctionSpec& spec, const Scope& scope, PyObject* varnames) noexcept {
    Owned annotations = steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (const Annotation& annotation : spec.annotations) {
        const Owned key = annotation_key(spec, scope, varnames, annotation.key);
        const Owned value = key ? annotation.type.make(scope) : Owned{};
        if (!value || PyDict_SetItem(annotations.get(), key.get(), value.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

namespace {

// The annotations as their source text: "Launcher | str", not the repr of
// the objects.
PyObject* annotation_texts(const FunctionSpec& spec) noexcept {
    Owned texts = steal(PyDict_New());
    if (!texts) {
        return nullptr;
    }
    for (const Annotation& annotation : spec.annotations) {
        TypeText text;
        annotation.type.write(text);
        const Owned key = intern(annotation.key);
        const Owned value =
            key ? steal(PyUnicode_FromStringAndSize(text.data(),
                                                    static_cast<Py_ssize_t>(text.size())))
                : Owned{};
        if (!value || PyDict_SetItem(texts.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return texts.release();
}

bool is_format_keyword(PyObject* keyword) noexcept {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();  // not UTF-8, so not "format"
        return false;
    }
    return std::string_view{text, static_cast<std::size_t>(size)} == "format";
}

// Called as a compiler-made annotate function is, with the format alone,
// by position; any other call is refused in the interpreter's words, under
// the name the interpreter gives that function.
bool takes_format(const FunctionObject* function, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* qualname = function->defined_qualname;
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (is_format_keyword(PyTuple_GET_ITEM(kwnames, i))) {
            PyErr_Format(PyExc_TypeError,
                         "%U.__annotate__() got some positional-only arguments passed as keyword "
                         "arguments: 'format'",
                         qualname);
            return false;
        }
    }
    if (keywords > 0) {
        PyErr_Format(PyExc_TypeError, "%U.__annotate__() got an unexpected keyword argument '%S'",
                     qualname, PyTuple_GET_ITEM(kwnames, 0));
    } else if (nargs > 1) {
        PyErr_Format(PyExc_TypeError,
                     "%U.__annotate__() takes 1 positional argument but %zd were given", qualname,
                     nargs);
    } else if (nargs == 0) {
        PyErr_Format(PyExc_TypeError,
                     "%U.__annotate__() missing 1 required positional argument: 'format'",
                     qualname);
    }
    return nargs == 1 && keywords == 0;
}

// Whether `format` compares to the number `value` as `op` says (the
// comparison first, so that no two neighbouring parameters take one
// another's values): -1 on error.
int compares(int op, PyObject* format, long value) noexcept {
    const Owned number = steal(PyLong_FromLong(value));
    return number ? PyObject_RichCompareBool(format, number.get(), op) : -1;
}

// The function's own annotate function. Like the one the compiler writes
// for a Python function, it evaluates the annotation expressions afresh in
// the function's globals, whatever a caller has done to `__annotations__`
// since, for any format up to VALUE_WITH_FAKE_GLOBALS (2); it refuses the
// formats above with NotImplementedError, and a format that does not
// compare with a number with the comparison's TypeError. The compiler's
// leaves the two formats that follow to annotationlib, which runs its code
// with stand-ins for the names; a native function has no code to run, so
// it answers them itself: FORWARDREF with ForwardRefs for the names that
// are not bound (forward_ref.hpp), STRING with the annotations' source text.
PyObject* annotate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(self);
    if (!takes_format(function, nargs, kwnames)) {
        return nullptr;
    }
    PyObject* format = args[0];
    constexpr long fake_globals_format = 2;
    constexpr long forwardref_format = 3;
    constexpr long string_format = 4;
    const int beyond_value = compares(Py_GT, format, fake_globals_format);
    const int forward = beyond_value > 0 ? compares(Py_EQ, format, forwardref_format) : 0;
    if (beyond_value < 0 || forward < 0) {
        return nullptr;
    }
    if (beyond_value > 0 && forward == 0) {
        const int string = compares(Py_EQ, format, string_format);
        if (string == 0) {
            PyErr_SetNone(PyExc_NotImplementedError);
        }
        return string > 0 ? annotation_texts(*function->spec) : nullptr;
    }
    Forwarding forwarding{self, function->globals};
    return make_annotations(*function->spec,
                            Scope{*function->state, function->globals, function->builtins,
                                  forward > 0 ? &forwarding : nullptr},
                            function->varnames)
        .release();
}

// The text signature gives inspect.signature what it reads from a
// compiler-made one's code: `(format, /)`.
PyMethodDef annotate_def = {"__annotate__",
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(annotate)),
                            METH_FASTCALL | METH_KEYWORDS,
                            "__annotate__($self, format, /)\n--\n\n"};

}  // namespace

PyObject* get_annotate(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotate == nullptr && function->own_annotate) {
        function->annotate = PyCFunction_New(&annotate_def, self);
        if (function->annotate == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(function->annotate != nullptr ? function->annotate : Py_None);
}

// A new annotate function replaces the annotations, which it makes again
// when asked; None leaves them.
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    FunctionObject* function = as_function(self);
    function->own_annotate = false;
    if (value == Py_None) {
        Py_CLEAR(function->annotate);
    } else {
        Py_XSETREF(function->annotate, Py_NewRef(value));
        Py_CLEAR(function->annotations);
    }
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotations == nullptr) {
        // Null only once a caller set an annotate function, which makes
        // them again, or deleted them (or set None): they start empty.
        Owned made;
        const Owned annotate = add_ref(function->annotate);
        if (annotate) {
            made = steal(
                PyObject_CallOneArg(annotate.get(), Py_GetConstantBorrowed(Py_CONSTANT_ONE)));
            if (made && !PyDict_Check(made.get())) {
                // In the words of the interpreter the module is built for.
#if PY_VERSION_HEX >= 0x030F0000
                PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T",
                             made.get());
#else
                PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                             Py_TYPE(made.get())->tp_name);
#endif
                return nullptr;
            }
        } else {
            made = steal(PyDict_New());
        }
        if (!made) {
            return nullptr;
        }
        // The annotate function may have set annotations of its own meanwhile.
        if (function->annotations == nullptr) {
            function->annotations = made.release();
        }
    }
    return Py_NewRef(function->annotations);
}

// Replaced annotations have no annotate function, as for a Python function.
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject* function = as_function(self);
    Py_XSETREF(function->annotations, Py_XNewRef(value));
    function->own_annotate = false;
    Py_CLEAR(function->annotate);
    return 0;
}

}  // namespace vx
