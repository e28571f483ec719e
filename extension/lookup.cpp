#include "lookup.hpp"

#include "lazy_import.hpp"
#include "text.hpp"

namespace vx {

namespace {
Text dunder_builtins{"__builtins__"};
}  // namespace

Owned builtins_of(PyObject* globals) noexcept {
    Owned builtins;
    if (PyDict_GetItemRef(globals, dunder_builtins, builtins.out()) < 0) {
        return {};
    }
    if (!builtins) {
        // The running frame's builtins, as PyEval_GetFrameBuiltins gives
        // them, from the function that the interpreter's start-up already
        // ran (see intern in text.cpp).
        return add_ref(PyEval_GetBuiltins());
    }
    if (PyModule_Check(builtins.get())) {
        return add_ref(PyModule_GetDict(builtins));
    }
    return builtins;
}

void raise_name_error(PyObject* name) noexcept {
    Owned message = steal(PyUnicode_FromFormat("name '%.200U' is not defined", name));
    if (!message) {
        return;
    }
    Owned error = steal(PyObject_CallOneArg(PyExc_NameError, message));
    // Spelt out rather than a Text: this error path may run in a function
    // called while its interpreter winds down and has let go of its state.
    if (!error || PyObject_SetAttrString(error, "name", name) < 0) {
        return;
    }
    PyErr_SetObject(PyExc_NameError, error);
}

Owned lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) noexcept {
    Owned value;
    if (PyDict_GetItemRef(globals, name, value.out()) != 0) {
#if PY_VERSION_HEX >= 0x030F0000
        if (value && is_lazy_import(value)) [[unlikely]] {
            return resolve_global(globals, name, std::move(value));
        }
#endif
        return value;  // found, or failed with the error set
    }
    if (PyMapping_GetOptionalItem(builtins, name, value.out()) != 0) {
        return value;
    }
    raise_name_error(name);
    return {};
}

}  // namespace vx
