// The body of PyCode_NewEmpty's code object (`raise AssertionError`), which
// every `__code__` copies with the one constant it raises replaced
// (function/code.cpp).
#pragma once

#include <Python.h>

namespace vx::cpython {

// Whether `units` (a bytes object: the instructions of an empty code
// object) end as this CPython's are expected to; false with ImportError
// set when not.
bool empty_body_fits(PyObject* units) noexcept;

// The instructions of `empty`, a code object that PyCode_NewEmpty made,
// with the last load turned into LOAD_CONST 0: a new bytes object, or null
// with an exception set: ImportError naming the CPython when they do not
// fit.
PyObject* raising_constant_zero(PyObject* empty) noexcept;

}  // namespace vx::cpython
