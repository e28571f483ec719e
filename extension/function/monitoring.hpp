// What tools built on sys.monitoring (PEP 669: cProfile, coverage) see of a
// call of one of the package's functions: what they see of a Python
// function's, a start and then a return, or a raise and an unwind when an
// error leaves it, each for the function's own code object, fired through
// the monitoring C API, and by the interpreter's rules:
// - nothing while the calling thread runs a tool's callback (the tool's own
//   calls are not the program's);
// - a call refused for its arguments never starts;
// - a tool that answers DISABLE is not told of that event of that function
//   again until events are restarted, or until it stops listening to the
//   event and listens again; and, since the interpreter's listeners are
//   known here only by a version that moves one step for each change of a
//   tool's events and two for a restart, also after two or more changes of
//   any tool's events between two calls of the function (a tool may be
//   asked once more than the interpreter would ask it, never once less);
// - which tools listen is read again for the call's end, so events switched
//   on during the call apply to it, even when no tool listened as it began;
// - events set locally on the function's `__code__` are honoured, and once
//   they are cleared the function costs what one no tool listens to does;
// - on CPython 3.15 a DISABLE answered to a raise or an unwind is refused by
//   the C API, which drops the tool's callback for that event; the error it
//   raises is not let through: the program's own error goes on, as it does
//   from a Python function, whose DISABLE the interpreter ignores;
// - a callback that raises raises in the function: the error gets the
//   function's traceback entry, then a raise and an unwind.
//
// Only the tools that programs register (ids 0 to 5) are told, and of those
// not the debugger's (id 0): the interpreter serves sys.setprofile and
// sys.settrace through tools of its own (ids 6 and 7), and debuggers read the
// event's frame off the stack; both would take a native function's events
// for its caller's, which has a frame, and profile.py or pdb would stop or
// fail there. Those tools see the calls as they always have: as calls of a
// callable that is not a Python function.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../cpython/monitoring_version.hpp"

namespace vx {

namespace monitoring_detail {
// Tools 1 to 5 (see above).
inline constexpr std::uint8_t told_tools = 0b0011'1110;
inline constexpr std::size_t event_count = 4;
// The told tools' bits in the `active` byte of each of the event states, as
// one 64-bit word reads them, whatever the machine's byte order.
inline constexpr std::uint64_t told_in_states = [] {
    struct States {
        PyMonitoringState events[event_count];
    };
    States states{};
    for (PyMonitoringState& state : states.events) {
        state.active = told_tools;
    }
    return std::bit_cast<std::uint64_t>(states);
}();
}  // namespace monitoring_detail

// The told tools that set `event` on `code` alone with
// sys.monitoring.set_local_events, read as sys.monitoring.get_local_events
// reads them. Beyond the C API: the interpreter keeps them in the code
// object's `_co_monitoring` (cpython/code.h), null for a code object that
// it never ran and that no tool set events on, whose first member,
// `local_monitors.tools`, holds a byte of tool bits per event, indexed by
// the event's number (internal/pycore_instruments.h, the same on CPython
// 3.14 and 3.15 for the events read here).
inline std::uint8_t tools_set_locally(PyObject* code, int event) noexcept {
    static_assert(PY_MONITORING_EVENT_PY_START == 0 && PY_MONITORING_EVENT_PY_RETURN == 2);
    const auto* per_event = reinterpret_cast<const std::uint8_t*>(
        reinterpret_cast<PyCodeObject*>(code)->_co_monitoring);
    return per_event == nullptr ? 0 : per_event[event] & monitoring_detail::told_tools;
}

// Which tools each function tells of its calls. Each function keeps its own,
// as the interpreter keeps them per code object: a DISABLE holds for the
// function that answered it. All zero, as the function's memory comes
// from the interpreter, is the state of a function that no tool has heard
// of.
struct Monitoring {
    // The events, by their index in `events`; the first two are those that
    // a tool may switch off, or on, for one function.
    static constexpr std::size_t start = 0, returned = 1, raised = 2, unwound = 3,
                                 count = monitoring_detail::event_count;
    static constexpr std::size_t local_count = 2;
    static const std::uint8_t event_types[count];

    // The tools to tell of each event. PyMonitoring_EnterScope refreshes
    // them to the interpreter's listeners whenever tools change (`version`),
    // and narrow() then takes out the tools that are not told and those that
    // answered DISABLE; until the next change, a function whose tools all
    // answered DISABLE costs no more than one no tool listens to.
    PyMonitoringState events[count];
    std::uint64_t version;
    // The version that `events` were last narrowed at.
    std::uint64_t narrowed;
    // The told tools that listen to each event everywhere, as of `narrowed`.
    std::uint8_t everywhere[count];
    // Of start and return: the tools that listened, everywhere or on this
    // function alone, when last looked, and those that answered DISABLE.
    std::uint8_t listening[local_count];
    std::uint8_t disabled[local_count];
    // Of start and return: the told tools that listen to this function
    // alone, when last read.
    std::uint8_t locally[local_count];

    // Brings `events` up to the interpreter's listeners for a call on
    // `thread`; true when a told tool may listen to the function, whose code object is `code` (null while
    // none is made). With no tool at all, a version check, a test and a
    // look at `code`.
    bool enter(PyThreadState* thread, PyObject* code) noexcept {
        // The scope is entered only when the interpreter's version moved:
        // otherwise it would leave `events` as they are. Entering it does
        // nothing else, and leaving it nothing at all, so it is left at
        // once rather than held over the call.
        if (cpython::monitoring_version(thread) != version) [[unlikely]] {
            (void)PyMonitoring_EnterScope(events, &version, event_types, count);  // cannot fail
            (void)PyMonitoring_ExitScope();
        }
        // The four states read at once, their `active` bytes tested together.
        static_assert(sizeof events == sizeof(std::uint64_t));
        std::uint64_t states = 0;
        std::memcpy(&states, events, sizeof states);
        return (states & monitoring_detail::told_in_states) != 0 || !settled_locally(code);
    }

    // After a call that no told tool listened to as it began: whether a
    // tool may have begun to listen since, on `thread`, everywhere or to
    // `code` alone. Only then need enter() look again.
    bool may_have_changed(PyThreadState* thread, PyObject* code) const noexcept {
        return cpython::monitoring_version(thread) != version || !settled_locally(code);
    }

    // Whether `events` already account for the tools that listen to `code`
    // alone: the same tools as when last read, and either none, or `events`
    // narrowed since the interpreter's listeners last changed (a change
    // resets `events` to those listeners alone). A function whose local
    // events were cleared is settled again after one more look.
    bool settled_locally(PyObject* code) const noexcept {
        // No tool can set events on a code object not yet made.
        if (code == nullptr) {
            return true;
        }
        const std::uint8_t starts = code ? tools_set_locally(code, PY_MONITORING_EVENT_PY_START) : 0;
        const std::uint8_t returns = code ? tools_set_locally(code, PY_MONITORING_EVENT_PY_RETURN)
                                          : 0;
        return starts == locally[start] && returns == locally[returned] &&
               ((starts | returns) == 0 || narrowed == version);
    }

    // Brings `events` up to date after enter(), before tools are told.
    void narrow() noexcept {
        if (narrowed != version) {
            refresh();
        }
    }

    // Takes in what tools listen to `code` alone, read afresh for each
    // monitored call.
    void listen_locally(PyObject* code) noexcept;

private:
    // After the interpreter's listeners changed.
    void refresh() noexcept;
    // `events` of start and return from what listens where.
    void update() noexcept;
};

// True while the running thread is inside a tool's callback, where the
// interpreter fires no events. Beyond the C API: the thread state's
// `tracing` counter (cpython/pystate.h).
inline bool in_tool_callback() noexcept { return PyThreadState_Get()->tracing > 0; }

struct FunctionObject;
class Call;
// A bound call of `function` as tools see a Python function's: its start
// and end around the body, each told to the tools that listen at that
// moment; a tool's callback that fails raises in the function.
PyObject* run_told(FunctionObject* function, const Call& call) noexcept;

// The end of a call that began with no tool to tell, after enter() found
// one listening now: the return of `result`, or the raise and unwind of the
// error set when it is null, told as run_told() tells them.
PyObject* end_told(FunctionObject* function, const Call& call, PyObject* result) noexcept;

}  // namespace vx
