// The function-like type: its slots (the collector's traverse and clear,
// repr, method binding, the module name beside the type's own) and how a
// function is made. Only import and tools come here, never a call: built
// for size. The call path is function.cpp's.
#include <cstddef>

#include "../core/names.hpp"
#include "../core/package.hpp"
#include "../cpython/heap_type.hpp"
#include "function.hpp"
#include "function_object.hpp"

namespace vx {

namespace {

const Text vectorcall_offset{"__vectorcalloffset__"};

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    // Held to the end, not cleared: a call reads its names, and the state
    // lets go of what could lead back here when it is cleared itself.
    Py_VISIT(function->state != nullptr ? function->state->object() : nullptr);
    // The names too: a caller may set str subclasses that hold other
    // objects, the function among them (decorator libraries tag names so).
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->defined_qualname);
    Py_VISIT(function->defined_file);
    Py_VISIT(function->varnames);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->builtins);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->type_params);
    Py_VISIT(function->annotations);
    Py_VISIT(function->annotate);
    Py_VISIT(function->defining_class);
    Py_VISIT(function->code);
    return PyObject_VisitManagedDict(self, visit, arg);
}

// Emptied rather than cleared: repr, a traceback entry and __code__ read
// the names of a function the collector is taking apart, as they do a
// Python function's, whose names the collector sets to the empty string.
void empty(PyObject*& name) noexcept {
    Py_XSETREF(name, Py_NewRef(Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR)));
}

// A function is cleared and freed only when its module is run again or its
// interpreter ends: marked cold, so built for size as import-time code is.
[[gnu::cold]] int clear(PyObject* self) noexcept {
    FunctionObject* function = as_function(self);
    empty(function->name);
    empty(function->qualname);
    empty(function->defined_qualname);
    empty(function->defined_file);
    // The parameter names stay, as a Python function's code does: interned
    // exact strings hold nothing, and __code__ and tracebacks read them.
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->builtins);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->type_params);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->annotate);
    function->annotate_to_make = false;
    Py_CLEAR(function->defining_class);
    Py_CLEAR(function->code);
    PyObject_ClearManagedDict(self);
    return 0;
}

[[gnu::cold]] void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    clear(self);
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->varnames);
    Py_CLEAR(function->defined_qualname);
    Py_CLEAR(function->defined_file);
    // The state goes last: freeing the function may be what frees it.
    PyObject* state = function->state != nullptr ? function->state->object() : nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_XDECREF(state);
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
bool is_module_name(const FunctionObject* function, PyObject* name) noexcept {
    PyObject* module_name = (*function->state)[dunder_module];
    return name == module_name ||
           (PyUnicode_Check(name) && PyUnicode_Compare(name, module_name) == 0);
}

PyObject* get_attribute(PyObject* self, PyObject* name) noexcept {
    if (is_module_name(as_function(self), name)) {
        PyObject* module = as_function(self)->module;
        return Py_NewRef(module != nullptr ? module : Py_None);
    }
    return PyObject_GenericGetAttr(self, name);
}

int set_attribute(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (is_module_name(as_function(self), name)) {
        Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// Pickle and copy find a function by its module and qualified name.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

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

// function_getset is another file's, but only its address is read here,
// which the linker fixes.
// NOLINTNEXTLINE(cppcoreguidelines-interfaces-global-init)
PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind)},
    {Py_tp_getattro, reinterpret_cast<void*>(get_attribute)},
    {Py_tp_setattro, reinterpret_cast<void*>(set_attribute)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};

// The type as tools should see it. The dotted name it was made with gives
// it a `__module__` string; its messages then name it as Python's function
// type is named ("'function' object has no attribute ..."). And its
// namespace has no attribute that a Python function lacks.
bool finish_type(const State& state, PyTypeObject* type) noexcept {
    return cpython::rename_and_drop(type, "function", state[vectorcall_offset]);
}

// The type, made with the interpreter's first function rather than with its
// state: a package imported in lazy imports mode makes none until a name
// it binds is first used.
PyTypeObject* function_type(State& state) noexcept {
    if (!state.function_type) {
        Owned type = steal(package_type(spec));
        if (!type || !finish_type(state, reinterpret_cast<PyTypeObject*>(type.get()))) {
            return nullptr;
        }
        state.function_type = std::move(type);
    }
    return reinterpret_cast<PyTypeObject*>(state.function_type.get());
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
        PyTuple_SET_ITEM(defaults.get(), i - first,
                         default_value(spec.params[i].fallback).release());
    }
    return true;
}

}  // namespace

// The name is interned once here: the class or module that binds the
// function takes it as its key (defined_name), and a method's prefix is the
// class's own string, so neither is made again. The module's namespace
// comes before the prefix, as the module holds the class.
// NOLINTBEGIN(bugprone-easily-swappable-parameters)
Owned make_function(State& state, const FunctionSpec& spec, const built::Module& text,
                    const built::Function& built, PyObject* globals,
                    PyObject* qualname_prefix) noexcept {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    Owned name = intern(spec.name);
    Owned qualname = !name || qualname_prefix == nullptr
                         ? add_ref(name.get())
                         : steal(PyUnicode_Concat(qualname_prefix, name.get()));
    Owned module;
    if (!qualname || PyDict_GetItemRef(globals, state[dunder_name], module.out()) < 0) {
        return {};
    }
    Owned file = file_of(state, globals);
    if (!file) {
        return {};
    }
    Owned builtins = builtins_of(state, globals);
    Owned varnames = builtins ? built::name_tuple(text, built.code.varnames) : Owned{};
    Owned defaults;
    if (!varnames || !make_defaults(spec, defaults)) {
        return {};
    }
    // Evaluated now, in every mode: a name bound by a lazy import that is
    // not yet resolved is resolved here, loading what it names.
    Owned annotations = make_annotations(spec, Scope{state, globals, builtins.get()},
                                         varnames.get());
    if (!annotations) {
        return {};
    }
    PyTypeObject* type = function_type(state);
    Owned self = type != nullptr ? steal(type->tp_alloc(type, 0)) : Owned{};
    if (!self) {
        return {};
    }
    FunctionObject* function = as_function(self.get());
    function->vectorcall = call_function;
    function->spec = &spec;
    function->text = &text;
    function->built = &built;
    function->state = &state;
    function->constants = state.constants();
    Py_INCREF(state.object());
    function->name = name.release();
    function->defined_qualname = Py_NewRef(qualname.get());
    function->qualname = qualname.release();
    function->defined_file = file.release();
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
    function->annotate_to_make = built.annotate >= 0;
    function->defining_class = nullptr;
    function->code = nullptr;
    return self;
}

PyObject* defined_name(PyObject* function) noexcept { return as_function(function)->name; }

void set_defining_class(PyObject* function, PyTypeObject* cls) noexcept {
    Py_XSETREF(as_function(function)->defining_class, Py_NewRef(reinterpret_cast<PyObject*>(cls)));
}

}  // namespace vx
