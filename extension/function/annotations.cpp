// A function's annotations: made from the table its module file writes,
// evaluated at definition; `__annotate__`, the annotate function CPython's
// compiler made for the same definition; and the two attributes that hold
// them.
//
// The annotate function is CPython's own rather than a copy of what it
// does: its code is the one the compiler made of the module's Python text
// when the extension was built, assembled when `__annotate__` is first asked
// for into a function with the module's globals and, for a method, its
// class's namespace. So every format, every owner annotationlib passes, the
// class-first look-up of a method's names, and the function's own
// attributes (`__code__`, `__qualname__`, `__module__`) are the
// interpreter's. Nothing of it is made at import.
#include <cstddef>
#include <string_view>

#include "../core/names.hpp"
#include "function_object.hpp"

namespace vx {

namespace {

const Text return_key{"return"};

// The key of an annotation: the parameter's own name, the very str of the
// code's locals, as a Python function's annotate code keys its dict with
// the names its code interned; or "return".
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
        const Owned value = key ? annotation.type->make(scope) : Owned{};
        if (!value || PyDict_SetItem(annotations.get(), key.get(), value.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

namespace {

// The closure of a method's annotate code: its one free variable,
// `__classdict__`, holds the class's own namespace, as the cell that
// `type` fills for a class statement's body does.
Owned class_closure(const FunctionObject* function, PyObject* code) noexcept {
    const Py_ssize_t free = PyCode_GetNumFree(reinterpret_cast<PyCodeObject*>(code));
    if (free == 0) {
        return add_ref(Py_None);
    }
    if (free != 1 || function->defining_class == nullptr) {
        PyErr_Format(PyExc_SystemError, "the annotate function of %U has no class to read",
                     function->defined_qualname);
        return {};
    }
    const Owned namespace_ = steal(
        PyType_GetDict(reinterpret_cast<PyTypeObject*>(function->defining_class)));
    const Owned cell = namespace_ ? steal(PyCell_New(namespace_.get())) : Owned{};
    return cell ? steal(PyTuple_Pack(1, cell.get())) : Owned{};
}

// The function's annotate function, from the code that the compiler made
// for its definition when the extension was built, with the module's
// globals, named after the function as a Python function's is.
Owned make_annotate(const FunctionObject* function) noexcept {
    const built::Module& text = *function->text;
    const auto index = static_cast<std::size_t>(function->built->annotate);
    const Owned code = built::code_object(text, text.codes[index], function->defined_file);
    const Owned qualname =
        code ? steal(PyUnicode_FromFormat("%U.__annotate__", function->defined_qualname)) : Owned{};
    const Owned closure = qualname ? class_closure(function, code.get()) : Owned{};
    Owned annotate = closure ? steal(PyFunction_NewWithQualName(code.get(), function->globals,
                                                                qualname.get()))
                             : Owned{};
    if (annotate && PyFunction_SetClosure(annotate.get(), closure.get()) < 0) {
        return {};
    }
    return annotate;
}

}  // namespace

PyObject* get_annotate(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotate == nullptr && function->annotate_to_make) {
        Owned made = make_annotate(function);
        if (!made) {
            return nullptr;
        }
        // Making it may have let other code run (a finaliser, when an
        // allocation collected garbage), which may have set the attribute
        // itself meanwhile: a caller's value stands.
        if (function->annotate == nullptr && function->annotate_to_make) {
            function->annotate = made.release();
        }
        function->annotate_to_make = false;
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
    function->annotate_to_make = false;
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
            if (!made) {
                return nullptr;
            }
            // The dict the annotate function returned, whatever it assigned
            // to `__annotations__` while it ran, as for a Python function.
            Py_XSETREF(function->annotations, made.release());
        } else {
            function->annotations = PyDict_New();
            if (function->annotations == nullptr) {
                return nullptr;
            }
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
    function->annotate_to_make = false;
    Py_CLEAR(function->annotate);
    return 0;
}

}  // namespace vx
