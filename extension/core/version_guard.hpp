#pragma once
// A module built for one CPython reads and writes that version's object
// layouts and calls its functions by their current signatures, so loaded
// into another (forced in by a file loader, or copied beside the wrong
// interpreter) it would corrupt memory instead of failing.  Each supported
// CPython gets a build of its own rather than the stable ABI: the function
// type, vectorcall and code objects the package is made of are outside the
// limited API, and its calls would go through slower out-of-line functions.
#include <Python.h>

namespace vx {

// True when the running interpreter is the CPython the module was built for;
// otherwise sets an ImportError naming both, and `package` (a C string) as
// the one refused, and returns false.  Uses nothing but what every
// CPython 3 keeps the same: Py_Version and PyErr_Format.
bool runs_on_its_own_cpython(const char* package) noexcept;

}  // namespace vx
