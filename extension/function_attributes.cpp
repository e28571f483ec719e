// The attributes through which the interpreter's tools (inspect, pydoc,
// mock, functools, pickle) describe a function, read and changed as a
// Python function's are, with the same audit events.
#include <cstddef>
#include <string_view>

#include "forward_ref.hpp"
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

// A field of the function that its attribute reads and changes directly.
// One getter and one setter serve them all, each descriptor's closure
// pointing at its row below. The rows hold their text rather than point to
// it: every pointer in a table is a relocation for the dynamic loader, in a
// module close to its size limit.
// What a caller may set a field to.
enum class Accepts : unsigned char {
    str,            // a str; deleting is refused
    tuple,          // a tuple; deleting is refused, and it reads () while unset
    tuple_or_none,  // a tuple; None or deleting unsets it, and it reads None
    dict_or_none,   // a dict; likewise
    anything,       // anything; deleting sets None
};

struct Field {
    char name[16];       // the attribute's, as the audit events name it
    std::size_t offset;  // in FunctionObject
    Accepts accepts;
    bool audited;        // reading and changing it raise audit events
    char refusal[48];    // the TypeError's words for a value it does not accept
};

constexpr Field defaults_field = {"__defaults__", offsetof(FunctionObject, defaults),
                                  Accepts::tuple_or_none, true,
                                  "__defaults__ must be set to a tuple object"};
constexpr Field kwdefaults_field = {"__kwdefaults__", offsetof(FunctionObject, kwdefaults),
                                    Accepts::dict_or_none, true,
                                    "__kwdefaults__ must be set to a dict object"};
constexpr Field type_params_field = {"__type_params__", offsetof(FunctionObject, type_params),
                                     Accepts::tuple, false,
                                     "__type_params__ must be set to a tuple"};
constexpr Field name_field = {"__name__", offsetof(FunctionObject, name), Accepts::str, false,
                              "__name__ must be set to a string object"};
constexpr Field qualname_field = {"__qualname__", offsetof(FunctionObject, qualname), Accepts::str,
                                  false, "__qualname__ must be set to a string object"};
constexpr Field doc_field = {"__doc__", offsetof(FunctionObject, doc), Accepts::anything, false,
                             ""};

PyObject*& slot(PyObject* self, const Field& field) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + field.offset);
}

PyObject* get_field(PyObject* self, void* closure) noexcept {
    const Field& field = *static_cast<const Field*>(closure);
    if (field.audited && audit_get(self, field.name) < 0) {
        return nullptr;
    }
    PyObject* value = slot(self, field);
    if (value != nullptr) {
        return Py_NewRef(value);
    }
    return field.accepts == Accepts::tuple ? PyTuple_New(0) : Py_NewRef(Py_None);
}

bool accepts(const Field& field, PyObject* value) noexcept {
    switch (field.accepts) {
        case Accepts::str:
            return value != nullptr && PyUnicode_Check(value);
        case Accepts::tuple:
            return value != nullptr && PyTuple_Check(value);
        case Accepts::tuple_or_none:
            return value == nullptr || PyTuple_Check(value);
        case Accepts::dict_or_none:
            return value == nullptr || PyDict_Check(value);
        case Accepts::anything:
            break;
    }
    return true;
}

// Setting None where that unsets the field is audited as deleting it.
int set_field(PyObject* self, PyObject* value, void* closure) noexcept {
    const Field& field = *static_cast<const Field*>(closure);
    if (value == Py_None &&
        (field.accepts == Accepts::tuple_or_none || field.accepts == Accepts::dict_or_none)) {
        value = nullptr;
    }
    if (!accepts(field, value)) {
        PyErr_SetString(PyExc_TypeError, field.refusal);
        return -1;
    }
    if (field.audited && audit_set(self, field.name, value) < 0) {
        return -1;
    }
    if (value == nullptr && field.accepts == Accepts::anything) {
        value = Py_None;
    }
    Py_XSETREF(slot(self, field), Py_XNewRef(value));
    return 0;
}

constexpr PyGetSetDef field_descriptor(const Field& field) noexcept {
    // The C API's closure is a void*; the getter and setter read it as const.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
    void* const closure = const_cast<Field*>(&field);
    return {field.name, get_field, set_field, nullptr, closure};
}

}  // namespace

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

}  // namespace

PyGetSetDef function_getset[] = {
    {"__class__", get_class, set_class, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    field_descriptor(defaults_field),
    field_descriptor(kwdefaults_field),
    {"__closure__", get_none, refuse_readonly, nullptr, nullptr},
    field_descriptor(type_params_field),
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
    field_descriptor(name_field),
    field_descriptor(qualname_field),
    field_descriptor(doc_field),
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace vx
