// The function-like type's call path: binding a call's arguments and
// running the body, and a monitored call's way to monitoring.cpp. The type
// itself and how functions are made are function_type.cpp's; the attributes
// that describe a function are function_attributes.cpp's.
#include <cstddef>

#include "../cpython/python_frames.hpp"
#include "function_object.hpp"
#include "monitoring.hpp"

namespace vx {

PyObject* enter(FunctionObject* function, const Call& call) noexcept {
    PyObject* result = function->spec->body(call);
    if (result == nullptr) [[unlikely]] {
        add_traceback_entry(function, call);
    }
    return result;
}

namespace {

// A bound call's frame: counted against the recursion limit once its
// arguments are bound, as a Python function's frame is, before any tool
// hears of its start.
template <typename Run>
[[gnu::always_inline]] inline PyObject* in_frame(PyThreadState* thread, Run run,
                                                 const Call& call) noexcept {
    if (!cpython::enter_python_frame(thread)) [[unlikely]] {
        return nullptr;
    }
    PyObject* result = run(call);
    cpython::leave_python_frame(thread);
    return result;
}

// Binds the call and hands it to `run`. Inlined in both callers, so that
// the usual call, with no monitoring tool, pays for no extra call.
template <typename Run>
[[gnu::always_inline]] inline PyObject* bind_and_run(PyThreadState* thread,
                                                     FunctionObject* function,
                                                     PyObject* const* args, std::size_t nargsf,
                                                     PyObject* kwnames, Run run) noexcept {
    auto* self = reinterpret_cast<PyObject*>(function);
    const FunctionSpec& spec = *function->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t count = positional_count(spec);
    // The usual call passes exactly the parameters, by position: hand the
    // caller's own vector to the body.
    if (kwnames == nullptr && (nargs == count || (spec.varargs && nargs > count))) {
        return in_frame(thread, run,
                        Call(self, args, {args + count, static_cast<std::size_t>(nargs - count)},
                             function->constants));
    }
    PyObject* bound[max_params];
    std::span<PyObject* const> rest;
    Owned defaults;
    // A call that does not fit never starts, as a Python function's frame
    // never does: no traceback entry, and no tool hears of it.
    if (!bind_arguments(function, args, nargs, kwnames, bound, rest, defaults)) {
        return nullptr;
    }
    return in_frame(thread, run, Call(self, bound, rest, function->constants));
}

[[gnu::cold]] PyObject* run_monitored(PyThreadState* thread, FunctionObject* function,
                                      PyObject* const* args, std::size_t nargsf,
                                      PyObject* kwnames) noexcept {
    // A tool's own calls are not the program's: while a callback runs on
    // this thread, the interpreter tells no tool of anything.
    const bool told = !cpython::in_tool_callback(thread);
    return bind_and_run(thread, function, args, nargsf, kwnames,
                        [function, told](const Call& call) {
                            return told ? run_told(function, call) : enter(function, call);
                        });
}

}  // namespace

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
    FunctionObject* function = as_function(self);
    PyThreadState* thread = PyThreadState_GetUnchecked();
    PyObject* result = function->monitoring.enter(thread, function->code)
                           ? run_monitored(thread, function, args, nargsf, kwnames)
                           : bind_and_run(thread, function, args, nargsf, kwnames,
                                          [thread, function](const Call& call) {
                                              PyObject* result = enter(function, call);
                                              // A tool that began to listen while the body
                                              // ran hears the end, as of a Python function.
                                              Monitoring& monitoring = function->monitoring;
                                              if (monitoring.may_have_changed(thread,
                                                                              function->code))
                                                  [[unlikely]] {
                                                  if (monitoring.enter(thread, function->code)) {
                                                      return end_told(function, call, result);
                                                  }
                                              }
                                              return result;
                                          });
    Py_LeaveRecursiveCall();
    return result;
}

Owned Call::global(PyObject* name) const noexcept {
    FunctionObject* function = as_function(function_);
    return lookup_global(Scope{*function->state, function->globals, function->builtins}, name);
}

}  // namespace vx
