// Each call of a package function counts as one frame against the
// recursion limit, as a Python function's frame does: the interpreter
// counts those in the thread state's `py_recursion_remaining`, which
// sys.setrecursionlimit() sets and Python frames draw on, and refuses a
// frame with RecursionError when none remain. The field is in the thread
// state's public structure but not in the documented C API: CPython 3.14
// and 3.15 keep it the same way.
#pragma once

#include <Python.h>

namespace vx::cpython {

// Counts a frame on the running thread; false with RecursionError set when
// the limit is reached, and then nothing is counted. While the interpreter
// handles a RecursionError (its headroom), frames go past the limit, as
// Python frames do, but not without end.
inline bool enter_python_frame(PyThreadState* thread) noexcept {
    if (thread->py_recursion_remaining-- > 0) [[likely]] {
        return true;
    }
    constexpr int headroom = 50;
    if (thread->recursion_headroom == 0 || thread->py_recursion_remaining < -headroom) {
        ++thread->py_recursion_remaining;
        ++thread->recursion_headroom;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        --thread->recursion_headroom;
        return false;
    }
    return true;
}

inline void leave_python_frame(PyThreadState* thread) noexcept { ++thread->py_recursion_remaining; }

}  // namespace vx::cpython
