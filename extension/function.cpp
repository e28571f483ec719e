// The function-like type: creation, calls, method binding and the
// attributes through which the interpreter's tools describe a function.
#include <cstddef>

#include "function_object.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text dunder_name{"__name__"};
Text return_key{"return"};

PyObject* call_function(PyObject* self, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(self);
    const FunctionSpec& spec = *function->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t count = positional_count(spec);
    // The usual call passes exactly the parameters, by position: hand the
    // caller's own vector to the body.
    if (kwnames == nullptr && (nargs == count || (spec.varargs && nargs > count))) {
        return spec.body(Call(self, args, {args + count, static_cast<std::size_t>(nargs - count)}));
    }
    PyObject* bound[max_params];
    std::span<PyObject* const> rest;
    if (!bind_arguments(function, args, nargs, kwnames, bound, rest)) {
        return nullptr;
    }
    return spec.body(Call(self, bound, rest));
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->builtins);
    Py_VISIT(function->defaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->code);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int clear(PyObject* self) noexcept {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->builtins);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->code);
    PyObject_ClearManagedDict(self);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    clear(self);
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->varnames);
    State* state = function->state;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
    if (state != nullptr) {
        state->release();
    }
}

PyObject* repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Looked up on the class, a function is itself; looked up on an instance,
// a bound method, exactly as for Python functions.
PyObject* bind(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* get_code(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->code == nullptr) {
        function->code = make_code(function).release();
    }
    return Py_XNewRef(function->code);
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

PyObject* get_none(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }

PyObject* get_empty_tuple(PyObject*, void*) noexcept { return PyTuple_New(0); }

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
    }
    return Py_XNewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject* function = as_function(self);
    Py_XSETREF(function->annotations, value == Py_None ? nullptr : Py_XNewRef(value));
    function->annotations_as_made = false;
    return 0;
}

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

// The annotate function handed out as `__annotate__`. The annotations are
// real objects already, so the value formats get a copy of them, and the
// string format gets the source text of the expressions they were made
// from. Annotations that a caller replaced have no source text: annotationlib
// then converts their values itself.
PyObject* annotate(PyObject* self, PyObject* format) noexcept {
    const long requested = PyLong_AsLong(format);
    if (requested == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    constexpr long value_format = 1;
    constexpr long forwardref_format = 3;
    constexpr long string_format = 4;
    FunctionObject* function = as_function(self);
    if (requested == value_format || requested == forwardref_format) {
        PyObject* annotations = function->annotations;
        return annotations != nullptr ? PyDict_Copy(annotations) : PyDict_New();
    }
    if (requested == string_format && function->annotations_as_made) {
        return annotation_texts(*function->spec);
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

PyMethodDef annotate_def = {"__annotate__", annotate, METH_O, nullptr};

PyObject* get_annotate(PyObject* self, void*) noexcept {
    return PyCFunction_New(&annotate_def, self);
}

template <std::size_t Offset>
PyObject* get_text(PyObject* self, void*) noexcept {
    return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset));
}

template <std::size_t Offset>
int set_text(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset),
              Py_NewRef(value));
    return 0;
}

// Pickle and copy find a function by its module and qualified name.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef getset[] = {
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_empty_tuple, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
    {"__name__", get_text<offsetof(FunctionObject, name)>,
     set_text<offsetof(FunctionObject, name)>, nullptr, nullptr},
    {"__qualname__", get_text<offsetof(FunctionObject, qualname)>,
     set_text<offsetof(FunctionObject, qualname)>, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(FunctionObject, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "vorlix.function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT |
             Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};

Owned default_value(Default fallback) noexcept {
    switch (fallback) {
        case Default::none:
            return add_ref(Py_None);
        case Default::false_:
            return add_ref(Py_False);
        case Default::required:
            break;
    }
    return {};
}

// The trailing defaults as a tuple, or null (no error) when there are none.
bool make_defaults(const FunctionSpec& spec, Owned& defaults) noexcept {
    std::size_t first = spec.params.size();
    while (first > 0 && spec.params[first - 1].fallback != Default::required) {
        --first;
    }
    if (first == spec.params.size()) {
        return true;
    }
    defaults = steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size() - first)));
    if (!defaults) {
        return false;
    }
    for (std::size_t i = first; i < spec.params.size(); ++i) {
        PyTuple_SET_ITEM(defaults.get(), i - first, default_value(spec.params[i].fallback).release());
    }
    return true;
}

// The parameter names, then the further locals.
Owned make_varnames(const FunctionSpec& spec) noexcept {
    Owned varnames = steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size() + spec.locals.size())));
    if (!varnames) {
        return {};
    }
    Py_ssize_t i = 0;
    for (const Param& param : spec.params) {
        Owned name = intern(param.name);
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), i++, name.release());
    }
    for (std::string_view local : spec.locals) {
        Owned name = intern(local);
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), i++, name.release());
    }
    return varnames;
}

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

}  // namespace

Owned Call::global(PyObject* name) const noexcept {
    FunctionObject* function = as_function(function_);
    return lookup_global(function->globals, function->builtins, name);
}

PyObject* Call::text(const Constant& constant) const noexcept {
    return as_function(function_)->state->value(constant);
}

bool ready_function_type(State& state) noexcept {
    state.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return state.function_type != nullptr;
}

Owned make_function(const FunctionSpec& spec, PyObject* globals,
                    std::string_view qualname_prefix, int firstlineno) noexcept {
    Owned name = intern(spec.name);
    Owned prefix = intern(qualname_prefix);
    Owned qualname = name && prefix ? steal(PyUnicode_Concat(prefix, name)) : Owned{};
    Owned module;
    if (!qualname || PyDict_GetItemRef(globals, dunder_name, module.out()) < 0) {
        return {};
    }
    Owned builtins = builtins_of(globals);
    Owned varnames = builtins ? make_varnames(spec) : Owned{};
    Owned defaults;
    if (!varnames || !make_defaults(spec, defaults)) {
        return {};
    }
    Owned annotations = make_annotations(spec, Scope{globals, builtins});
    if (!annotations) {
        return {};
    }
    State* state = State::current();
    PyTypeObject* type = state->function_type;
    Owned self = steal(type->tp_alloc(type, 0));
    if (!self) {
        return {};
    }
    FunctionObject* function = as_function(self);
    function->vectorcall = call_function;
    function->spec = &spec;
    function->state = state;
    state->hold();
    function->name = name.release();
    function->qualname = qualname.release();
    function->module = module ? module.release() : Py_NewRef(Py_None);
    function->doc = Py_NewRef(Py_None);
    function->globals = Py_NewRef(globals);
    function->builtins = builtins.release();
    function->varnames = varnames.release();
    function->defaults = defaults.release();
    function->annotations = annotations.release();
    function->annotations_as_made = true;
    function->code = nullptr;
    function->firstlineno = firstlineno;
    function->is_method = !qualname_prefix.empty();
    return self;
}

}  // namespace vx
