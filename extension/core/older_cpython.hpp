// Read into every file of the module ahead of its own includes (by the
// build: CMakeLists.txt), because the references it is about come from
// CPython's headers as much as from the module's code.
//
// A module built for one CPython and loaded by force into another must load
// far enough for its entry to refuse that interpreter with a clear
// ImportError (version_guard.hpp).  The dynamic loader binds the module's
// references to the interpreter when it loads it, so a single strong one to
// a name the running interpreter lacks makes the load fail first, naming
// only the symbol.  The references below are weak instead: where the name
// is missing it reads as null, and nothing reaches it before the entry has
// refused the interpreter.
//
// The list holds every name that a build for a newer supported CPython
// references and an older one lacks, whether the module uses it or a
// header's inline function or assertion does (unoptimised builds keep the
// assertions).  tests/test_binary.py loads each build into the other
// CPython, in every build type ./dev check makes, and fails on a name
// missing here.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX >= 0x030F0000
// Read once per body that binds names under lazy imports
// (import_statements.cpp).
#pragma weak PyImport_GetLazyImportsMode
// Named by the assertion in PyDict_GET_SIZE (cpython/dictobject.h).
#pragma weak PyFrozenDict_Type
#endif
