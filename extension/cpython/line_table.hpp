// A code object's line table written by hand: the location table format
// CPython 3.11 and later keep in `co_linetable`, which only its internal
// documentation describes. `__code__` of a package function has no line
// for its first instruction, where monitoring events are fired, so that
// coverage tools record nothing for a file that has no source; the rest
// keeps the function's first line, where traceback entries stand.
#pragma once

#include <Python.h>

namespace vx::cpython {

// The bytes of one code unit, an instruction and its argument.
inline constexpr Py_ssize_t code_unit = 2;

// A line table for `units` code units: none for the first, the code's first
// line for the others. A new reference; null with an exception set.
PyObject* first_unit_without_line(Py_ssize_t units) noexcept;

// Whether `code`, made with that table, has, as the interpreter reads it,
// no line at its first instruction and `first_line` at the next; false
// with ImportError set, naming the CPython, when not. Checked when the
// first `__code__` is made.
bool line_table_fits(PyObject* code, int first_line) noexcept;

}  // namespace vx::cpython
