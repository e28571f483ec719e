// Traceback entries for the package's functions. An exception that leaves
// a Python function carries an entry for its frame, which error reporters
// group by and people read in logs; an exception leaving one of ours gets
// the same: a frame of the function's own `__code__` and globals, so it
// names the function and its module's `__file__`, and tools that look at
// the frame's module (its `__name__`, its loader) find the real one.
//
// Only the error path comes here. The entry's line is the code object's
// first line, all that there is for a body without source lines.
//
// PyFrame_New and PyTraceBack_Here are what the interpreter's private
// _PyTraceback_Add, which its own C modules use, does with public calls.
#include "function_object.hpp"

#include <frameobject.h>

namespace vx {

void add_traceback_entry(FunctionObject* function) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) {
        return;  // a body that failed without an error: the caller says so
    }
    // Held: making the code object may run Python code that drops the
    // function's globals.
    const Owned globals = add_ref(function->globals);
    Owned code = code_of(function);
    Owned frame = code && globals ? steal(reinterpret_cast<PyObject*>(
                                        PyFrame_New(PyThreadState_Get(),
                                                    reinterpret_cast<PyCodeObject*>(code.get()),
                                                    globals, nullptr)))
                                  : Owned{};
    // An entry is a courtesy: failing to add one must not hide the error.
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace vx
