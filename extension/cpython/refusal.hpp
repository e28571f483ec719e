// How a check of this folder refuses a CPython that does not fit
// (internals.hpp lists the checks).
#pragma once

#include <Python.h>

namespace vx::cpython {

// Sets ImportError: the running CPython's version, and `what` of it differs
// from what the package expects. Returns false.
bool refuse(const char* what) noexcept;

}  // namespace vx::cpython
