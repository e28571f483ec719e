// The line of a traceback entry and of its frame, written when the entry is
// made. Both compute their line from the frame's position when asked, and
// the frame that PyFrame_New makes stands on the cache unit that follows
// RESUME; on CPython 3.15 a code object that a tool set line events on
// (coverage does, for code it measures) takes its lines from the
// interpreter's own table, which has none for a cache unit, and keeps that
// table once the events are cleared. The entry and the frame would have no
// line: pdb's `list` would fail on the frame, and error reporters would
// show no line. Writing the line at once, where each caches it, keeps it,
// as a Python function's frame and entry keep theirs.
// Beyond the documented C API:
// - PyTracebackObject's `tb_lineno` (cpython/traceback.h), -1 until
//   computed;
// - the frame object's `f_lineno`, which PyFrame_GetLineNumber (and so the
//   frame's `f_lineno` attribute) gives whenever it is positive, and which
//   PyFrame_New leaves at 0. Only an internal header declares the frame
//   object's structure: `FrameHead` below is its beginning, and
//   frame_layout_fits() checks at import that the frame type's member that
//   follows `f_lineno`, `f_trace_lines`, stands where `FrameHead` has it
//   (it is a member the type publishes, with its offset, for Python code).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <utility>

#include "refusal.hpp"

namespace vx::cpython {

namespace traceback_line_detail {
// The beginning of CPython 3.14's and 3.15's frame object (`struct _frame`,
// internal/pycore_frame.h), up to the member the check finds.
struct FrameHead {
    PyObject_HEAD
    PyObject* f_back;
    void* f_frame;
    PyObject* f_trace;
    int f_lineno;
    char f_trace_lines;
};
}  // namespace traceback_line_detail

// Whether `frame_type` (the frame type, or a stand-in the tests give) lays
// its objects out as `FrameHead` says, as far as it publishes: its member
// `f_trace_lines`, a bool, right after an int `f_lineno`. False with
// ImportError set, naming the CPython, when not.
inline bool frame_layout_fits(const PyTypeObject* frame_type) noexcept {
    using traceback_line_detail::FrameHead;
    static_assert(offsetof(FrameHead, f_trace_lines) ==
                  offsetof(FrameHead, f_lineno) + sizeof(int));
    for (const PyMemberDef* member = frame_type->tp_members;
         member != nullptr && member->name != nullptr; ++member) {
        if (std::strcmp(member->name, "f_trace_lines") == 0) {
            if (member->type == Py_T_BOOL &&
                std::cmp_equal(member->offset, offsetof(FrameHead, f_trace_lines))) {
                return true;
            }
            break;
        }
    }
    return refuse("its frame objects are not laid out as expected");
}

// Gives `frame`, which PyFrame_New made, the line `line` (above 0).
inline void set_frame_line(PyObject* frame, int line) noexcept {
    int& lineno = reinterpret_cast<traceback_line_detail::FrameHead*>(frame)->f_lineno;
    // 0 is PyFrame_New's; anything else was written by the interpreter, and
    // is left to it.
    if (lineno == 0) {
        lineno = line;
    }
}

// Gives the newest entry of the exception being raised the line `line`.
inline void set_newest_entry_line(int line) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* entry = error != nullptr ? PyException_GetTraceback(error) : nullptr;
    if (entry != nullptr && PyTraceBack_Check(entry)) {
        reinterpret_cast<PyTracebackObject*>(entry)->tb_lineno = line;
    }
    Py_XDECREF(entry);
    PyErr_SetRaisedException(error);
}

}  // namespace vx::cpython
