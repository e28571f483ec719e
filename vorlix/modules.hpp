// The modules of the package, one source file each: their statements and
// compiled Python text, which the package's module table lists.
#pragma once

#include "../extension/module/statements.hpp"
#include "names.hpp"

namespace vorlix {

using vx::call;
using vx::define;
using vx::from_import;
using vx::import_module;
using vx::ModuleCode;
using vx::Statement;

extern const ModuleCode app_module;
extern const ModuleCode launcher_module;
extern const ModuleCode util_module;

}  // namespace vorlix
