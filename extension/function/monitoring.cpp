#include "monitoring.hpp"

#include "../core/names.hpp"
#include "../core/pending_exception.hpp"
#include "../core/state.hpp"
#include "function_object.hpp"

namespace vx {

namespace {

// The event's tools that are told, and remembers those that answer DISABLE
// (the C API clears their bits in the state it is given).
template <typename Fire>
bool tell(Monitoring& monitoring, std::size_t event, Fire fire) noexcept {
    PyMonitoringState state = monitoring.events[event];
    const std::uint8_t told = state.active;
    const bool done = fire(&state) == 0;
    const auto answered_disable = static_cast<std::uint8_t>(told & ~state.active);
    if (answered_disable != 0 && event < Monitoring::local_count) {
        monitoring.disabled[event] |= answered_disable;
        monitoring.events[event].active &= static_cast<std::uint8_t>(~answered_disable);
    }
    return done;
}

}  // namespace

namespace {

// Tells the tools of an event; false with the tool's exception set when a
// callback failed. A DISABLE answered for start or return is remembered.
bool fire_start(Monitoring& monitoring, PyObject* code) noexcept {
    return tell(monitoring, Monitoring::start, [code](PyMonitoringState* state) {
        return PyMonitoring_FirePyStartEvent(state, code, 0);
    });
}

bool fire_return(Monitoring& monitoring, PyObject* code, PyObject* result) noexcept {
    return tell(monitoring, Monitoring::returned, [code, result](PyMonitoringState* state) {
        return PyMonitoring_FirePyReturnEvent(state, code, 0, result);
    });
}

#if PY_VERSION_HEX >= 0x030F0000
// Whether the error set is the C API's refusal of a DISABLE answered to the
// event (`refusal` is its message); if so, it is cleared.
bool cleared_refusal(const char* refusal) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    const Owned args = Py_IS_TYPE(error, reinterpret_cast<PyTypeObject*>(PyExc_ValueError))
                           ? steal(PyException_GetArgs(error))
                           : Owned{};
    const bool refused = args && PyTuple_GET_SIZE(args.get()) == 1 &&
                         PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0)) &&
                         PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(args.get(), 0),
                                                          refusal) == 0;
    if (refused) {
        Py_DECREF(error);
    } else {
        PyErr_SetRaisedException(error);
    }
    return refused;
}
#endif

// Tells the tools of the raise or the unwind of the error set, which stays
// set, or a callback's error instead. On CPython 3.15 the interpreter
// ignores a DISABLE answered to these events in a Python function, and the
// program's error goes on; the C API refuses it with a ValueError in place
// of the program's error, which is put back here.
template <typename Fire>
void tell_of_error(Monitoring& monitoring, std::size_t event, [[maybe_unused]] const char* refusal,
                   Fire fire) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    PyObject* error = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_XNewRef(error));
    if (!tell(monitoring, event, fire) && cleared_refusal(refusal)) {
        PyErr_SetRaisedException(error);
        return;
    }
    Py_XDECREF(error);
#else
    tell(monitoring, event, fire);
#endif
}

void fire_raise_and_unwind(Monitoring& monitoring, PyObject* code) noexcept {
    tell_of_error(monitoring, Monitoring::raised, cpython::refused_raise_disable,
                  [code](PyMonitoringState* state) {
                      return PyMonitoring_FireRaiseEvent(state, code, 0);
                  });
    tell_of_error(monitoring, Monitoring::unwound, cpython::refused_unwind_disable,
                  [code](PyMonitoringState* state) {
                      return PyMonitoring_FirePyUnwindEvent(state, code, 0);
                  });
}

// Which tools listen to the function now: the interpreter's listeners, and
// those that set events on its code alone.
void look_again(FunctionObject* function, PyObject* code) noexcept {
    Monitoring& monitoring = function->monitoring;
    (void)monitoring.enter(PyThreadState_Get(), code);
    monitoring.narrow();
    monitoring.listen_locally(code);
}

// The error set leaves the function: the raise and the unwind that tools
// listening now hear of.
PyObject* unwind(FunctionObject* function, PyObject* code) noexcept {
    {
        const PendingException error;
        look_again(function, code);
    }
    fire_raise_and_unwind(function->monitoring, code);
    return nullptr;
}

// A tool's error, raised in the function as in a Python function's frame.
PyObject* raise_in(FunctionObject* function, const Call& call, PyObject* code) noexcept {
    add_traceback_entry(function, call);
    return unwind(function, code);
}

// The body's result leaves the function: the return that tools listening
// now hear of.
PyObject* returned(FunctionObject* function, const Call& call, PyObject* code,
                   PyObject* result) noexcept {
    look_again(function, code);
    if (!fire_return(function->monitoring, code, result)) {
        Py_DECREF(result);
        return raise_in(function, call, code);
    }
    return result;
}

}  // namespace

PyObject* run_told(FunctionObject* function, const Call& call) noexcept {
    const Owned code = code_of(function);
    if (!code) {
        return nullptr;
    }
    look_again(function, code.get());
    if (!fire_start(function->monitoring, code.get())) {
        return raise_in(function, call, code.get());
    }
    PyObject* result = enter(function, call);
    return result == nullptr ? unwind(function, code.get())
                             : returned(function, call, code.get(), result);
}

PyObject* end_told(FunctionObject* function, const Call& call, PyObject* result) noexcept {
    // A tool's own calls are not the program's.
    if (cpython::in_tool_callback(PyThreadState_Get())) {
        return result;
    }
    if (result == nullptr) {
        Owned code;
        {
            const PendingException error;
            code = code_of(function);
        }
        return code ? unwind(function, code.get()) : nullptr;
    }
    const Owned code = code_of(function);
    if (!code) {
        Py_DECREF(result);
        return nullptr;
    }
    return returned(function, call, code.get(), result);
}

}  // namespace vx
