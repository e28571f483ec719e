// Bodies that the app and launcher modules share: both call the runner the
// same way for an action on a handle and for a listing, and both registries
// answer `keys()`, `in` and item lookup the same way, differing only in
// their command words and handle class.
#pragma once

#include "../extension/function/function_spec.hpp"
#include "names.hpp"

namespace vorlix::shared {

using vx::Call;
using vx::Owned;
using vx::Text;

// vorlix(args...), letting the runner reuse the slot before the arguments.
template <class... Args>
Owned call_runner(PyObject* runner, Args... args) noexcept {
    PyObject* vector[] = {nullptr, args...};
    return vx::steal(PyObject_Vectorcall(runner, vector + 1,
                                         sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// _ = vorlix(command, self.name); the runner is looked up before the name
// is read.
template <const Text& command>
PyObject* run_on_handle(const Call& call) noexcept {
    const Owned runner = call.global(runner_name);
    const Owned name = runner ? vx::steal(PyObject_GetAttr(call.arg(0), call[name_attribute]))
                              : Owned{};
    const Owned output = name ? call_runner(runner.get(), call[command], name.get()) : Owned{};
    return output ? Py_NewRef(Py_None) : nullptr;
}

// vorlix(command).splitlines()
inline Owned read_listing(const Call& call, PyObject* command) noexcept {
    const Owned runner = call.global(runner_name);
    const Owned output = runner ? call_runner(runner.get(), command) : Owned{};
    return output ? vx::steal(PyObject_CallMethodNoArgs(output.get(), call[splitlines_method]))
                  : Owned{};
}

// def keys(self): return vorlix(command).splitlines()
template <const Text& command>
PyObject* keys(const Call& call) noexcept {
    return read_listing(call, call[command]).release();
}

// def __contains__(self, key): return key in self.keys()
inline PyObject* contains(const Call& call) noexcept {
    const Owned names = vx::steal(PyObject_CallMethodNoArgs(call.arg(0), call[keys_method]));
    const int found = names ? PySequence_Contains(names.get(), call.arg(1)) : -1;
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

// def __getitem__(self, key):
//     if key not in self: raise KeyError()
//     return Handle(key)
template <const Text& handle_class>
PyObject* get_item(const Call& call) noexcept {
    const int found = PySequence_Contains(call.arg(0), call.arg(1));
    if (found <= 0) {
        if (found == 0) {
            PyErr_SetNone(PyExc_KeyError);
        }
        return nullptr;
    }
    const Owned handle_type = call.global(handle_class);
    return handle_type ? PyObject_CallOneArg(handle_type.get(), call.arg(1)) : nullptr;
}

// def __init__(self, name): self.name = name
inline PyObject* init_handle(const Call& call) noexcept {
    if (PyObject_SetAttr(call.arg(0), call[name_attribute], call.arg(1)) < 0) {
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

// Table pieces both modules' classes are written with.
inline constexpr vx::Param self = "self";
inline constexpr vx::Annotation returns_none = {"return", vx::type<vx::None>};
inline constexpr vx::Annotation returns_bool = {"return", vx::type<vx::Bool>};
inline constexpr vx::Annotation key_is_str = {"key", vx::type<vx::Str>};

// def <name>(self) -> None: _ = vorlix(<command>, self.name)
constexpr vx::FunctionSpec action(const char* name, vx::Body body) noexcept {
    return {.name = name, .params = {self}, .annotations = {returns_none}, .body = body};
}

// def __init__(self, name: str) -> None
inline constexpr vx::FunctionSpec handle_init = {
    .name = "__init__",
    .params = {self, "name"},
    .annotations = {{"name", vx::type<vx::Str>}, returns_none},
    .body = init_handle,
};

}  // namespace vorlix::shared
