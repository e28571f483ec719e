// A heap type changed after it is made: what function/function_type.cpp
// needs of the function type that a spec cannot say (internals.hpp).
#pragma once

#include <Python.h>

namespace vx::cpython {

// Names `type` `name` (a literal, which outlives the type) wherever
// tp_name is read (its messages), and deletes `key` from its dict;
// false with ImportError set when the dict holds no such key, with an
// exception set when deleting it fails.
bool rename_and_drop(PyTypeObject* type, const char* name, PyObject* key) noexcept;

}  // namespace vx::cpython
