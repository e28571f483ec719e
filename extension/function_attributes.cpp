// The attributes through which the interpreter's tools (inspect, pydoc,
// mock, functools, pickle) describe a function, read and changed as a
// Python function's are, with the same audit events.
#include <cstddef>

#include "function_object.hpp"
#include "names.hpp"

namespace vx {

namespace {

// isinstance() falls back on `__class__` when the real type does not
// match, and mock, pydoc, inspect and functools.singledispatch ask
// isinstance(f, types.FunctionType) (or dispatch on `__class__`) before they
// treat an object as a function. type(f), and C code, still see this type.
PyObject* get_class(PyObject*, void*) noexcept {
    return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type));
}

// The audit events that a Python function's attributes raise when read,
// set or deleted (PEP 578), with the same arguments: security monitors
// watch them. The attribute names are spelt out, as the interpreter's own
// calls do.
int audit_get(PyObject* self, const char* name) noexcept {
    return PySys_Audit("object.__getattr__", "Os", self, name);
}

int audit_set(PyObject* self, const char* name, PyObject* value) noexcept {
    return value != nullptr ? PySys_Audit("object.__setattr__", "OsO", self, name, value)
                            : PySys_Audit("object.__delattr__", "Os", self, name);
}

// The refusals of object's own `__class__` setter for an immutable type,
// with its audit event before the last.
int set_class(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "can't delete __class__ attribute");
    } else if (!PyType_Check(value)) {
        PyErr_Format(PyExc_TypeError, "__class__ must be set to a class, not '%s' object",
                     Py_TYPE(value)->tp_name);
    } else if (audit_set(self, "__class__", value) == 0) {
        PyErr_SetString(PyExc_TypeError,
                        "__class__ assignment only supported for mutable types or ModuleType "
                        "subclasses");
    }
    return -1;
}

PyObject* get_code(PyObject* self, void*) noexcept {
    if (audit_get(self, "__code__") < 0) {
        return nullptr;
    }
    return code_of(as_function(self)).release();
}

// A new code object would not change what the function runs: the body is
// C++, the code object only describes the parameters. What is not a code
// object is refused first, with the interpreter's words.
int set_code(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
    } else if (audit_set(self, "__code__", value) == 0) {
        PyErr_Format(PyExc_TypeError,
                     "__code__ of %U cannot be replaced: its body is native code, which a code "
                     "object does not carry",
                     as_function(self)->qualname);
    }
    return -1;
}

PyObject* get_none(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }

int refuse_readonly(PyObject*, PyObject*, void*) noexcept {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

template <std::size_t Offset>
PyObject*& field(PyObject* self) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
}

// A field that reads None when unset.
template <std::size_t Offset>
PyObject* get_or_none(PyObject* self, void*) noexcept {
    PyObject* value = field<Offset>(self);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

// `__defaults__` and `__kwdefaults__`, each read an audited event.
template <std::size_t Offset>
PyObject* get_audited(PyObject* self, void*) noexcept {
    if (audit_get(self, Offset == offsetof(FunctionObject, defaults) ? "__defaults__"
                                                                    : "__kwdefaults__") < 0) {
        return nullptr;
    }
    return get_or_none<Offset>(self, nullptr);
}

// None or deleting unsets them; setting None is audited as deleting.
template <std::size_t Offset, bool (*Check)(PyObject*) noexcept>
int set_optional(PyObject* self, PyObject* value, void*) noexcept {
    const bool defaults = Offset == offsetof(FunctionObject, defaults);
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !Check(value)) {
        PyErr_SetString(PyExc_TypeError, defaults ? "__defaults__ must be set to a tuple object"
                                                  : "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (audit_set(self, defaults ? "__defaults__" : "__kwdefaults__", value) < 0) {
        return -1;
    }
    Py_XSETREF(field<Offset>(self), Py_XNewRef(value));
    return 0;
}

bool is_tuple(PyObject* value) noexcept { return PyTuple_Check(value); }
bool is_dict(PyObject* value) noexcept { return PyDict_Check(value); }

PyObject* get_type_params(PyObject* self, void*) noexcept {
    PyObject* type_params = as_function(self)->type_params;
    return type_params != nullptr ? Py_NewRef(type_params) : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_function(self)->type_params, Py_NewRef(value));
    return 0;
}

// Deleting `__doc__` leaves None, as for a Python function.
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

}  // namespace

Owned make_annotations(const FunctionSpec& spec, const Scope& scope) noexcept {
    Owned annotations = steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (const Annotation& annotation : spec.annotations) {
        Owned key = intern(annotation.key);
        Owned value = key ? annotation.type.make(scope) : Owned{};
        if (!value || PyDict_SetItem(annotations, key, value) < 0) {
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
        Owned key = intern(annotation.key);
        Owned value = key ? steal(PyUnicode_FromStringAndSize(
                                text.data(), static_cast<Py_ssize_t>(text.size())))
                          : Owned{};
        if (!value || PyDict_SetItem(texts, key, value) < 0) {
            return nullptr;
        }
    }
    return texts.release();
}

// The function's own annotate function. Like the one the compiler writes
// for a Python function, it evaluates the annotation expressions afresh in
// the function's globals, whatever a caller has done to `__annotations__`
// since, and gives their source text for the string format.
PyObject* annotate(PyObject* self, PyObject* format) noexcept {
    const long requested = PyLong_AsLong(format);
    if (requested == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    constexpr long value_format = 1;
    constexpr long forwardref_format = 3;
    constexpr long string_format = 4;
    const FunctionObject* function = as_function(self);
    if (requested == value_format || requested == forwardref_format) {
        return make_annotations(*function->spec,
                                Scope{*function->state, function->globals, function->builtins})
            .release();
    }
    if (requested == string_format) {
        return annotation_texts(*function->spec);
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

PyMethodDef annotate_def = {"__annotate__", annotate, METH_O, nullptr};

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
            made = steal(PyObject_CallOneArg(annotate, Py_GetConstantBorrowed(Py_CONSTANT_ONE)));
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

template <std::size_t Offset>
PyObject* get_text(PyObject* self, void*) noexcept {
    return Py_NewRef(field<Offset>(self));
}

template <std::size_t Offset>
int set_text(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, Offset == offsetof(FunctionObject, name)
                                             ? "__name__ must be set to a string object"
                                             : "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(field<Offset>(self), Py_NewRef(value));
    return 0;
}

}  // namespace

constexpr std::size_t name_offset = offsetof(FunctionObject, name);
constexpr std::size_t qualname_offset = offsetof(FunctionObject, qualname);
constexpr std::size_t defaults_offset = offsetof(FunctionObject, defaults);
constexpr std::size_t kwdefaults_offset = offsetof(FunctionObject, kwdefaults);
constexpr std::size_t doc_offset = offsetof(FunctionObject, doc);

PyGetSetDef function_getset[] = {
    {"__class__", get_class, set_class, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__defaults__", get_audited<defaults_offset>, set_optional<defaults_offset, is_tuple>,
     nullptr, nullptr},
    {"__kwdefaults__", get_audited<kwdefaults_offset>,
     set_optional<kwdefaults_offset, is_dict>, nullptr, nullptr},
    {"__closure__", get_none, refuse_readonly, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
    {"__name__", get_text<name_offset>, set_text<name_offset>, nullptr, nullptr},
    {"__qualname__", get_text<qualname_offset>, set_text<qualname_offset>, nullptr, nullptr},
    {"__doc__", get_or_none<doc_offset>, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace vx
