#include "lookup.hpp"

#include "names.hpp"
#include "state.hpp"

namespace vx {

namespace {
// The file of code whose module names none.
const Text unknown_file{"<unknown>"};
}  // namespace

Owned file_of(const State& state, PyObject* globals) noexcept {
    Owned file;
    if (PyDict_GetItemRef(globals, state[dunder_file], file.out()) < 0) {
        return {};
    }
    return file && PyUnicode_Check(file.get()) ? std::move(file) : add_ref(state[unknown_file]);
}

Owned builtins_of(const State& state, PyObject* globals) noexcept {
    Owned builtins;
    if (PyDict_GetItemRef(globals, state[dunder_builtins], builtins.out()) < 0) {
        return {};
    }
    if (!builtins) {
        // A namespace that names none has the running frame's, as for a
        // Python function defined there.
        return steal(PyEval_GetFrameBuiltins());
    }
    if (PyModule_Check(builtins.get())) {
        return add_ref(PyModule_GetDict(builtins.get()));
    }
    return builtins;
}

void raise_name_error(const State& state, PyObject* name) noexcept {
    const Owned message = steal(PyUnicode_FromFormat("name '%.200U' is not defined", name));
    if (!message) {
        return;
    }
    const Owned error = steal(PyObject_CallOneArg(PyExc_NameError, message.get()));
    if (!error || PyObject_SetAttr(error.get(), state[name_attribute], name) < 0) {
        return;
    }
    PyErr_SetObject(PyExc_NameError, error.get());
}

}  // namespace vx
