// The function-like type: creation, calls, method binding and the
// attributes through which the interpreter's tools describe a function.
#include <cstddef>

#include "function_object.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text dunder_name{"__name__"};
Text dunder_module{"__module__"};
Text vectorcall_offset{"__vectorcalloffset__"};

PyObject* run_body(FunctionObject* function, PyObject* const* args, std::size_t nargsf,
                   PyObject* kwnames) noexcept {
    PyObject* self = reinterpret_cast<PyObject*>(function);
    const FunctionSpec& spec = *function->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t count = positional_count(spec);
    PyObject* result;
    // The usual call passes exactly the parameters, by position: hand the
    // caller's own vector to the body.
    if (kwnames == nullptr && (nargs == count || (spec.varargs && nargs > count))) {
        result = spec.body(Call(self, function->constants, args,
                                {args + count, static_cast<std::size_t>(nargs - count)}));
    } else {
        PyObject* bound[max_params];
        std::span<PyObject* const> rest;
        Owned defaults;
        // A call that does not fit never enters the body, as it never enters
        // a Python function's frame: no traceback entry.
        if (!bind_arguments(function, args, nargs, kwnames, bound, rest, defaults)) {
            return nullptr;
        }
        result = spec.body(Call(self, function->constants, bound, rest));
    }
    if (result == nullptr) [[unlikely]] {
        add_traceback_entry(function);
    }
    return result;
}

PyObject* call_function(PyObject* self, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames) noexcept {
    // A body calls back into the interpreter, which may call the function
    // again without a Python frame in between: the interpreter's guard turns
    // such a loop into RecursionError before the C stack runs out.
    if (Py_EnterRecursiveCall("") != 0) {
        return nullptr;
    }
    // Callers may hold the function only borrowed (property.__get__ does),
    // and the body may drop their reference: hold it until the body is done.
    const Owned held = add_ref(self);
    PyObject* result = run_body(as_function(self), args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->builtins);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->type_params);
    Py_VISIT(function->annotations);
    Py_VISIT(function->annotate);
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
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->type_params);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->annotate);
    function->own_annotate = false;
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

// `__module__` is an attribute of each function, but the type needs a
// `__module__` of its own, a string, in the same namespace: a descriptor
// there would be what `type(f).__module__` answers. So the function's is
// looked up here, before the type's.
bool is_module_name(PyObject* self, PyObject* name) noexcept {
    return name == as_function(self)->state->value(dunder_module) ||
           (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "__module__"));
}

PyObject* get_attribute(PyObject* self, PyObject* name) noexcept {
    if (is_module_name(self, name)) {
        PyObject* module = as_function(self)->module;
        return Py_NewRef(module != nullptr ? module : Py_None);
    }
    return PyObject_GenericGetAttr(self, name);
}

int set_attribute(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (is_module_name(self, name)) {
        Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

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
        return make_annotations(*function->spec, Scope{function->globals, function->builtins})
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
        // Only an annotate function a caller set gets here with one, or the
        // function's own annotations left at definition.
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
        } else if (function->own_annotate) {
            // Left at definition for a lazy import they name (make_function).
            made = make_annotations(*function->spec, Scope{function->globals, function->builtins});
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

// Pickle and copy find a function by its module and qualified name.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

constexpr std::size_t name_offset = offsetof(FunctionObject, name);
constexpr std::size_t qualname_offset = offsetof(FunctionObject, qualname);
constexpr std::size_t defaults_offset = offsetof(FunctionObject, defaults);
constexpr std::size_t kwdefaults_offset = offsetof(FunctionObject, kwdefaults);
constexpr std::size_t doc_offset = offsetof(FunctionObject, doc);

PyGetSetDef getset[] = {
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

// `__vectorcalloffset__` is how the type tells the interpreter where the
// call pointer is; it is taken out of the type's namespace once made.
PyMemberDef members[] = {
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
    {Py_tp_getattro, reinterpret_cast<void*>(get_attribute)},
    {Py_tp_setattro, reinterpret_cast<void*>(set_attribute)},
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

// The type as tools should see it. The dotted name it was made with gives
// it a `__module__` string; its messages then name it as Python's function
// type is named ("'function' object has no attribute ..."). And its
// namespace has no attribute that a Python function lacks.
bool finish_type(PyTypeObject* type) noexcept {
    type->tp_name = "function";
    if (PyDict_DelItem(type->tp_dict, vectorcall_offset) < 0) {
        return false;
    }
    PyType_Modified(type);
    return true;
}

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

}  // namespace

Owned Call::global(PyObject* name) const noexcept {
    FunctionObject* function = as_function(function_);
    return lookup_global(function->globals, function->builtins, name);
}

bool ready_function_type(State& state) noexcept {
    state.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return state.function_type != nullptr && finish_type(state.function_type);
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
    // Evaluated now, unless they name a lazy import still unresolved: those
    // wait for first use, as a Python function's do, so that defining the
    // function imports nothing.
    Owned annotations = make_annotations(spec, Scope{globals, builtins, true});
    if (!annotations && PyErr_Occurred()) {
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
    function->constants = state->constants();
    state->hold();
    function->name = name.release();
    function->qualname = qualname.release();
    function->module = module ? module.release() : Py_NewRef(Py_None);
    function->doc = Py_NewRef(Py_None);
    function->globals = Py_NewRef(globals);
    function->builtins = builtins.release();
    function->varnames = varnames.release();
    function->defaults = defaults.release();
    function->kwdefaults = nullptr;
    function->type_params = nullptr;
    function->annotations = annotations.release();
    function->annotate = nullptr;
    function->own_annotate = true;
    function->code = nullptr;
    function->firstlineno = firstlineno;
    function->is_method = !qualname_prefix.empty();
    return self;
}

}  // namespace vx
