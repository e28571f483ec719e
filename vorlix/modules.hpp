// The bodies of the package's modules, one source file each.
#pragma once

#include "../extension/module_body.hpp"

namespace vorlix {

bool package_statements(vx::ModuleBody& body) noexcept;
bool app_statements(vx::ModuleBody& body) noexcept;
bool launcher_statements(vx::ModuleBody& body) noexcept;
bool util_statements(vx::ModuleBody& body) noexcept;

}  // namespace vorlix
