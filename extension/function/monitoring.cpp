#include "monitoring.hpp"

#include "../core/names.hpp"
#include "../core/pending_exception.hpp"
#include "../core/state.hpp"
#include "function_object.hpp"

namespace vx {

namespace {

using monitoring_detail::told_tools;
constexpr int first_told_tool = 1, last_told_tool = 5;

// The interpreter moves its monitoring version one step for every change
// of the events a tool listens to, and two for sys.monitoring.restart_events,
// which is what lifts every DISABLE. A step is the version's lowest bit above
// the eight flag bits it shares with the interpreter's eval breaker.
constexpr std::uint64_t version_step = std::uint64_t{1} << 8;

constexpr std::size_t local_index[Monitoring::local_count] = {PY_MONITORING_EVENT_PY_START,
                                                              PY_MONITORING_EVENT_PY_RETURN};

const Text get_local_events{"get_local_events"};

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

const std::uint8_t Monitoring::event_types[count] = {PY_MONITORING_EVENT_PY_START,
                                                     PY_MONITORING_EVENT_PY_RETURN,
                                                     PY_MONITORING_EVENT_RAISE,
                                                     PY_MONITORING_EVENT_PY_UNWIND};

void Monitoring::refresh() noexcept {
    // Two steps or more since this function last looked: a restart, or
    // several changes; either lifts this function's DISABLEs as a restart
    // would (a tool may be asked once more than the interpreter would ask
    // it, never once less).
    if (version - narrowed > version_step) {
        disabled[start] = disabled[returned] = 0;
    }
    narrowed = version;
    for (std::size_t i = 0; i < count; ++i) {
        everywhere[i] = events[i].active & told_tools;
        events[i].active = everywhere[i];
    }
    update();
}

void Monitoring::listen_locally(const std::uint8_t (&local)[local_count]) noexcept {
    locally[start] = local[start];
    locally[returned] = local[returned];
    update();
}

void Monitoring::update() noexcept {
    for (std::size_t i = 0; i < local_count; ++i) {
        const auto now = static_cast<std::uint8_t>(everywhere[i] | locally[i]);
        // A tool that stopped listening and listens again is told again.
        disabled[i] &= listening[i] & now;
        listening[i] = now;
        events[i].active = now & static_cast<std::uint8_t>(~disabled[i]);
    }
}

namespace {

// The told tools that set events on `code` alone, into `local`. Read as a
// courtesy, like a traceback entry: an exception pending stays as it is,
// and a read that fails counts as no events set.
void read_local_events(const State& state, PyObject* code,
                       std::uint8_t (&local)[Monitoring::local_count]) noexcept {
    local[Monitoring::start] = local[Monitoring::returned] = 0;
    const PendingException pending;
    PyObject* monitoring = PySys_GetObject("monitoring");
    for (int tool = first_told_tool; monitoring != nullptr && tool <= last_told_tool; ++tool) {
        const Owned tool_id = steal(PyLong_FromLong(tool));
        PyObject* args[] = {monitoring, tool_id.get(), code};
        // A tool id that no tool uses is refused, and sets nothing.
        const Owned events = tool_id ? steal(PyObject_VectorcallMethod(state[get_local_events],
                                                                       args, 3, nullptr))
                                     : Owned{};
        const long set = events ? PyLong_AsLong(events.get()) : -1;
        if (set < 0) {
            PyErr_Clear();
            continue;
        }
        for (std::size_t i = 0; i < Monitoring::local_count; ++i) {
            if ((set >> local_index[i] & 1) != 0) {
                local[i] |= static_cast<std::uint8_t>(1U << tool);
            }
        }
    }
}

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

// The raise and the unwind of the error that is set; each leaves an error
// set, the one that was or a callback's instead.
void fire_raise_and_unwind(Monitoring& monitoring, PyObject* code) noexcept {
    tell(monitoring, Monitoring::raised,
         [code](PyMonitoringState* state) { return PyMonitoring_FireRaiseEvent(state, code, 0); });
    tell(monitoring, Monitoring::unwound, [code](PyMonitoringState* state) {
        return PyMonitoring_FirePyUnwindEvent(state, code, 0);
    });
}

// Which tools listen to the function now: the interpreter's listeners, and
// those that set events on its code alone, read again.
void look_again(FunctionObject* function, PyObject* code) noexcept {
    Monitoring& monitoring = function->monitoring;
    monitoring.enter();
    monitoring.narrow();
    if (may_have_local_events(code)) {
        std::uint8_t local[Monitoring::local_count];
        read_local_events(*function->state, code, local);
        monitoring.listen_locally(local);
    }
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

// A bound call as tools see a Python function's: its start and end around
// the body, each told to the tools that listen at that moment. A tool's
// callback that fails raises in the function.
}  // namespace

PyObject* run_told(FunctionObject* function, const Call& call) noexcept {
    const Owned code = code_of(function);
    if (!code) {
        return nullptr;
    }
    Monitoring& monitoring = function->monitoring;
    look_again(function, code.get());
    if (!fire_start(monitoring, code.get())) {
        return raise_in(function, call, code.get());
    }
    PyObject* result = enter(function, call);
    if (result == nullptr) {
        return unwind(function, code.get());
    }
    look_again(function, code.get());
    if (!fire_return(monitoring, code.get(), result)) {
        Py_DECREF(result);
        return raise_in(function, call, code.get());
    }
    return result;
}

}  // namespace vx
