// The bodies of the package's modules, one source file each.
#pragma once

#include "../extension/module/module_body.hpp"

namespace vorlix {

void package_statements(vx::ModuleBody& body) noexcept;
void app_statements(vx::ModuleBody& body) noexcept;
void launcher_statements(vx::ModuleBody& body) noexcept;
void util_statements(vx::ModuleBody& body) noexcept;

}  // namespace vorlix
