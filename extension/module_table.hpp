// The modules that the shared object provides, one row each, in the order
// the package frame lists them, ended by an empty row.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace vx {

class ModuleBody;
// A module's own statements, run after its standard attributes are set.
using Statements = void (*)(ModuleBody&) noexcept;

struct ModuleRow {
    std::string_view name;  // full dotted name
    bool package;
    Statements statements;
};

inline constexpr std::size_t module_count = 4;
extern const ModuleRow module_table[module_count + 1];

// The row of the package itself.
inline const ModuleRow& package_row() noexcept { return module_table[0]; }

class State;
// Fills a fresh module object from its row: the standard module attributes,
// then the module's statements, which make their names in the interpreter
// whose state is `state`. A module whose body fails on its first import
// leaves sys.modules as any does: the import system takes it out, whichever
// loader ran it.
bool run_module(State& state, const ModuleRow& row, PyObject* module) noexcept;

}  // namespace vx
