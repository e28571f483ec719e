// The line of a traceback entry, written when the entry is made. An entry
// computes its line from its frame's position when asked, and the frame
// that PyFrame_New makes stands on the cache unit that follows RESUME; on
// CPython 3.15 a code object that a tool set events on (coverage does, for
// code it measures) has no line for a cache unit, so the entry would have
// none. Writing the line at once, as the interpreter caches it, keeps it.
// Beyond the documented C API: PyTracebackObject's `tb_lineno`
// (cpython/traceback.h), -1 until computed.
#pragma once

#include <Python.h>

namespace vx::cpython {

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
