// What a package's entry point calls: the runtime's one entry, the header
// that the package's `__init__` includes.
#pragma once

#include <Python.h>

#include "core/module_table.hpp"

namespace vx {

// The module definition that PyInit_<package> returns for `package`, which
// every import of the package in any interpreter then serves; null with
// ImportError set when the shared object was built for another CPython.
PyObject* package_definition(const Package& package) noexcept;

}  // namespace vx
