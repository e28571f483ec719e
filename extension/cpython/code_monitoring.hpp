// What the interpreter keeps of sys.monitoring on a code object and a
// thread, read by every call of a package function that a tool may hear of.
// Beyond the documented C API, both in public structures whose meaning is
// the interpreter's own:
// - a code object's `_co_monitoring` (cpython/code.h): null for a code
//   object that the interpreter never ran and that no tool set events on;
//   its first member, `local_monitors.tools`, holds a byte of tool bits per
//   local event, indexed by the event's number, which is what
//   sys.monitoring.get_local_events reads (the same on CPython 3.14 and
//   3.15 for the events read here);
// - the thread state's `tracing` (cpython/pystate.h): above zero while the
//   thread runs a tool's callback, when the interpreter fires no events;
// - the C API's words when it refuses a DISABLE answered to a raise or an
//   unwind on CPython 3.15, where the interpreter itself ignores it.
// The package's monitoring tests run each against a Python function's
// behaviour on both CPythons.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vx::cpython {

inline std::uint8_t tools_set_locally(PyObject* code, int event) noexcept {
    static_assert(PY_MONITORING_EVENT_PY_START == 0 && PY_MONITORING_EVENT_PY_RETURN == 2,
                  "the local events read are the first and third of the code's table");
    const auto* per_event = reinterpret_cast<const std::uint8_t*>(
        reinterpret_cast<PyCodeObject*>(code)->_co_monitoring);
    return per_event == nullptr ? 0 : per_event[event];
}

inline bool in_tool_callback(PyThreadState* thread) noexcept { return thread->tracing > 0; }

inline constexpr char refused_raise_disable[] = "Cannot disable RAISE events. Callback removed.";
inline constexpr char refused_unwind_disable[] =
    "Cannot disable PY_UNWIND events. Callback removed.";

}  // namespace vx::cpython
