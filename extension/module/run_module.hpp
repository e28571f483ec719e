// Running a row of the module table: what every loader of the import
// system does with a fresh module object.
#pragma once

#include <Python.h>

#include "../core/module_table.hpp"

namespace vx {

class State;
// Fills a fresh module object from its row: the standard module attributes,
// then the module's statements, which make their names in the interpreter
// whose state is `state`. A module whose body fails on its first import
// leaves sys.modules as any does: the import system takes it out, whichever
// loader ran it.
bool run_module(State& state, const ModuleRow& row, PyObject* module) noexcept;

}  // namespace vx
