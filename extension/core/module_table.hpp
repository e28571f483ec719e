// The modules that the shared object provides, one row each, in the order
// the package frame lists them, ended by an empty row. The package writes
// the table; its entry point hands it to the runtime (package_definition),
// which serves every interpreter from it and names none of the package's
// files. The rows are data only: module/run_module.hpp runs one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace vx {

// A module's statements and its compiled Python text
// (module/statements.hpp), run after its standard attributes are set.
struct ModuleCode;

struct ModuleRow {
    std::string_view name;  // full dotted name
    bool package;
    const ModuleCode* code;
};

// The rows before the empty one, the package's own first.
using ModuleTable = std::span<const ModuleRow>;

// The module definition that PyInit_<package> returns for the table
// `rows` (ended by an empty row), which every import of the package in any
// interpreter then serves; null with ImportError set when the shared
// object was built for another CPython.
PyObject* package_definition(const ModuleRow* rows) noexcept;

}  // namespace vx
