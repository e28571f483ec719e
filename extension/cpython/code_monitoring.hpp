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
//   unwind on CPython 3.15, where the interpreter itself ignores it;
// - that the interpreter drops from a code object the local events of a
//   tool cleared or freed since it set them (sys.monitoring.clear_tool_id
//   and free_tool_id only move the tool's version on) whenever it
//   instruments the code again, and that it instruments a code object
//   again when opcode tracing is switched on or off in one of its frames
//   (drop_cleared_tools below).
// The package's monitoring tests run each against a Python function's
// behaviour on both CPythons.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace vx::cpython {

inline std::uint8_t tools_set_locally(PyObject* code, int event) noexcept {
    static_assert(PY_MONITORING_EVENT_PY_START == 0 && PY_MONITORING_EVENT_PY_RETURN == 2,
                  "the local events read are the first and third of the code's table");
    const auto* per_event = reinterpret_cast<const std::uint8_t*>(
        reinterpret_cast<PyCodeObject*>(code)->_co_monitoring);
    return per_event == nullptr ? 0 : per_event[event];
}

// Has the interpreter drop from `code` the local events of the tools that
// were cleared or freed since they set them, as it does before it runs a
// Python function's code again after any tool changed its events: until
// then the events stay in the code's table, which tools_set_locally() and
// sys.monitoring.get_local_events read alike, though the interpreter tells
// no such tool of them (another tool may have taken its id). The package's
// code objects never run, so the runtime asks for it in the one public way
// that has the interpreter instrument a code object that is not running
// without changing any program's tool: opcode tracing switched on and then
// off in a frame of the code, with a trace function that is never called,
// since the frame never runs; no tool hears of it.
// Any error on the way (only memory can fail) is cleared: the events are
// then read as they stand. An exception being raised is kept aside.
[[gnu::cold]] inline void drop_cleared_tools(PyObject* code) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* globals = PyDict_New();
    auto* frame = globals != nullptr
                      ? reinterpret_cast<PyObject*>(
                            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                        globals, nullptr))
                      : nullptr;
    if (frame == nullptr || PyObject_SetAttrString(frame, "f_trace", Py_True) < 0 ||
        PyObject_SetAttrString(frame, "f_trace_opcodes", Py_True) < 0 ||
        PyObject_SetAttrString(frame, "f_trace_opcodes", Py_False) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    PyErr_SetRaisedException(raised);
}

inline bool in_tool_callback(PyThreadState* thread) noexcept { return thread->tracing > 0; }

inline constexpr char refused_raise_disable[] = "Cannot disable RAISE events. Callback removed.";
inline constexpr char refused_unwind_disable[] =
    "Cannot disable PY_UNWIND events. Callback removed.";

}  // namespace vx::cpython
