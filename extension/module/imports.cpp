#include "imports.hpp"

#include "../core/lookup.hpp"
#include "../core/names.hpp"
#include "../core/pending_exception.hpp"
#include "../core/state.hpp"

namespace vx {

namespace {

const Text dunder_import{"__import__"};
const Text name_from{"name_from"};
const Text initializing{"_initializing"};

// The file a module was loaded from, as its spec tells it; null without an
// error when the ModuleSpec names no location.
Owned file_origin(const State& state, PyObject* spec) noexcept {
    Owned located;
    if (PyObject_GetOptionalAttr(spec, state[has_location], located.out()) <= 0) {
        return {};
    }
    const int is_located = PyObject_IsTrue(located.get());
    Owned origin;
    if (is_located <= 0 ||
        PyObject_GetOptionalAttr(spec, state[origin_attribute], origin.out()) <= 0) {
        return {};
    }
    return PyUnicode_Check(origin.get()) ? std::move(origin) : Owned{};
}

bool is_initializing(const State& state, PyObject* spec) noexcept {
    Owned value;
    if (PyObject_GetOptionalAttr(spec, state[initializing], value.out()) <= 0) {
        PyErr_Clear();
        return false;
    }
    const int truth = PyObject_IsTrue(value.get());
    PyErr_Clear();
    return truth > 0;
}

// A module's `__file__`, which names the module in the message when its
// __spec__ gives no location; null without an error when there is none.
Owned module_file_name(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        return {};
    }
    Owned file = steal(PyModule_GetFilenameObject(module));
    if (!file && PyErr_ExceptionMatches(PyExc_SystemError)) {
        PyErr_Clear();  // "module filename missing"
    }
    return file;
}

void raise_cannot_import(const State& state, PyObject* module, Owned module_name,
                         PyObject* name) noexcept {
    // The error's `name` is the module's own name, or None when it has no
    // usable one; only the message says "<unknown module name>".
    const Owned error_name = module_name && PyUnicode_Check(module_name.get())
                                 ? add_ref(module_name.get())
                                 : add_ref(Py_None);
    if (error_name.get() == Py_None) {
        module_name = steal(PyUnicode_FromString("<unknown module name>"));
        if (!module_name) {
            return;
        }
    }
    Owned spec;
    if (PyObject_GetOptionalAttr(module, state[dunder_spec], spec.out()) < 0) {
        return;
    }
    Owned origin = spec ? file_origin(state, spec.get()) : Owned{};
    if (PyErr_Occurred()) {
        return;
    }
    if (spec && !origin) {
        origin = module_file_name(module);
        if (PyErr_Occurred()) {
            return;
        }
    }
    Owned message;
    if (spec && is_initializing(state, spec.get())) {
        message = origin ? steal(PyUnicode_FromFormat(
                               "cannot import name %R from partially initialized module %R "
                               "(most likely due to a circular import) (%S)",
                               name, module_name.get(), origin.get()))
                         : steal(PyUnicode_FromFormat(
                               "cannot import name %R from partially initialized module %R "
                               "(most likely due to a circular import)",
                               name, module_name.get()));
    } else {
        message =
            origin ? steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                module_name.get(), origin.get()))
                   : steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                name, module_name.get()));
    }
    if (!message) {
        return;
    }
    PyErr_SetImportError(message.get(), error_name.get(), origin ? origin.get() : Py_None);
    // The interpreter also records which name was missing, for the
    // "Did you mean" hint of its traceback display; failing to is dropped,
    // and the ImportError goes back as it was.
    const PendingException error;
    if (error) {
        (void)PyObject_SetAttr(error.get(), state[name_from], name);
    }
}

}  // namespace

Owned import_name(const State& state, PyObject* globals, PyObject* name, PyObject* fromlist,
                  int level) noexcept {
    const Owned builtins = builtins_of(state, globals);
    Owned import_function;
    if (!builtins || PyMapping_GetOptionalItem(builtins.get(), state[dunder_import],
                                               import_function.out()) < 0) {
        return {};
    }
    if (!import_function) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return {};
    }
    const Owned level_object = steal(PyLong_FromLong(level));
    if (!level_object) {
        return {};
    }
    PyObject* args[] = {name, globals, Py_None, fromlist != nullptr ? fromlist : Py_None,
                        level_object.get()};
    return steal(PyObject_Vectorcall(import_function.get(), args, 5, nullptr));
}

Owned import_from(const State& state, PyObject* module, PyObject* name) noexcept {
    Owned value;
    if (PyObject_GetOptionalAttr(module, name, value.out()) != 0) {
        return value;
    }
    // A submodule that is loaded but not yet bound on its package (a
    // circular import) is still found in sys.modules.
    Owned module_name;
    if (PyObject_GetOptionalAttr(module, state[dunder_name], module_name.out()) < 0) {
        return {};
    }
    if (module_name && PyUnicode_Check(module_name.get())) {
        const Owned full_name = steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (!full_name) {
            return {};
        }
        value = steal(PyImport_GetModule(full_name.get()));
        if (value || PyErr_Occurred()) {
            return value;
        }
    }
    raise_cannot_import(state, module, std::move(module_name), name);
    return {};
}

}  // namespace vx
