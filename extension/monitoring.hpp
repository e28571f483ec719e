// What tools built on sys.monitoring (PEP 669: cProfile, coverage) see of a
// call of one of the package's functions: what they see of a Python
// function's, a start and then a return, or a raise and an unwind when an
// error leaves it, each for the function's own code object, fired through
// the monitoring C API.
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

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "state.hpp"  // the interpreter's view of which tools listen

namespace vx {

namespace monitoring_detail {
inline constexpr std::uint8_t event_types[Monitoring::count] = {PY_MONITORING_EVENT_PY_START,
                                                                PY_MONITORING_EVENT_PY_RETURN,
                                                                PY_MONITORING_EVENT_RAISE,
                                                                PY_MONITORING_EVENT_PY_UNWIND};
// Tools 1 to 5 (see above).
inline constexpr std::uint8_t told_tools = 0b0011'1110;
// The told tools' bits in the `active` byte of each of the four states,
// read as one 64-bit word.
inline constexpr std::uint64_t told_in_states = [] {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < Monitoring::count; ++i) {
        mask |= std::uint64_t{told_tools}
                << (8 * ((i * sizeof(PyMonitoringState)) + offsetof(PyMonitoringState, active)));
    }
    return mask;
}();
}  // namespace monitoring_detail

// Enters the monitoring scope for a call, which must be left with
// PyMonitoring_ExitScope() once the call is done; true when a tool listens
// to any of the events. With no tool at all, a version check and a test.
inline bool tool_listens(Monitoring& monitoring) noexcept {
    using namespace monitoring_detail;
    PyMonitoring_EnterScope(monitoring.events, &monitoring.version, event_types, Monitoring::count);
    // The four states read at once, their `active` bytes tested together.
    static_assert(sizeof monitoring.events == sizeof(std::uint64_t));
    std::uint64_t states = 0;
    std::memcpy(&states, monitoring.events, sizeof states);
    return (states & told_in_states) != 0;
}

// The start of a call of the function whose code object is `code`; false
// with the error set when a tool's callback failed.
bool fire_start(Monitoring& monitoring, PyObject* code) noexcept;

// The end of that call, given what it returned (null with the error set
// when it failed): the result, or null with the error set, which may now
// be a tool callback's own.
PyObject* fire_end(Monitoring& monitoring, PyObject* code, PyObject* result) noexcept;

}  // namespace vx
