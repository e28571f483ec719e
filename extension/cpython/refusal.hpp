// How a check of this folder refuses a CPython that does not fit
// (internals.hpp lists the checks).
#pragma once

#include <Python.h>

namespace vx::cpython {

// Names the package whose import the checks refuse: the entry point's
// name (a C string), given before any check runs.
void refuse_for(const char* package) noexcept;
const char* refused_package() noexcept;

// Sets ImportError: the package cannot run on the running CPython's
// version, and `what` of it differs from what the package expects. Returns
// false.
bool refuse(const char* what) noexcept;

}  // namespace vx::cpython
