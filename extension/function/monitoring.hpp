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
//   event and listens again;
// - which tools listen is read again for the call's end, so events switched
//   during the call apply to it;
// - events set locally on the function's `__code__` are honoured;
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

    // Enters the monitoring scope for a call, which must be left with
    // PyMonitoring_ExitScope() once the call is done; true when a told tool
    // may listen to the function. With no tool at all, a version check and
    // a test.
    bool enter() noexcept {
        (void)PyMonitoring_EnterScope(events, &version, event_types, count);  // cannot fail
        // The four states read at once, their `active` bytes tested together.
        static_assert(sizeof events == sizeof(std::uint64_t));
        std::uint64_t states = 0;
        std::memcpy(&states, events, sizeof states);
        return (states & monitoring_detail::told_in_states) != 0;
    }

    // Brings `events` up to date after enter(), before tools are told.
    void narrow() noexcept {
        if (narrowed != version) {
            refresh();
        }
    }

    // Takes in what tools listen to this function alone (by event: start,
    // return), read afresh for each monitored call.
    void listen_locally(const std::uint8_t (&local)[local_count]) noexcept;

private:
    // After the interpreter's listeners changed.
    void refresh() noexcept;
    // `events` of start and return from what listens where.
    void update() noexcept;
};

// True when a tool may have set events on `code` alone: the interpreter
// keeps monitoring data only for code objects that it ran or on which
// events were set, and it never runs the package's.
inline bool may_have_local_events(PyObject* code) noexcept {
    return code != nullptr && reinterpret_cast<PyCodeObject*>(code)->_co_monitoring != nullptr;
}

// True while the running thread is inside a tool's callback, where the
// interpreter fires no events.
inline bool in_tool_callback() noexcept { return PyThreadState_Get()->tracing > 0; }

struct FunctionObject;
class Call;
// A bound call of `function` as tools see a Python function's: its start
// and end around the body, each told to the tools that listen at that
// moment; a tool's callback that fails raises in the function.
PyObject* run_told(FunctionObject* function, const Call& call) noexcept;

}  // namespace vx
