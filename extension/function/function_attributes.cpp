// The attributes through which the interpreter's tools (inspect, pydoc,
// mock, functools, pickle) describe a function, read and changed as a
// Python function's are, with the same audit events. The annotations and
// their formats are annotations.cpp's.
#include <cstddef>

#include "../core/names.hpp"
#include "function_object.hpp"

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
// pointing at its row below.

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
