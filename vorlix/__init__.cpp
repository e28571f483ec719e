// vorlix: the package body and its public names, as the Python it stands
// for:
//
//   1  from ._app import App
//   2  from ._app import api as apps
//   3  from ._launcher import Launcher
//   4  from ._launcher import api as launchers
//   5  from ._util import VorlixException
//   6  from ._util import vorlix
//   7
//   8  __all__ = ["App", "apps", "Launcher", "launchers", "VorlixException", "vorlix"]
#include "../extension/core/module_table.hpp"
#include "../extension/core/names.hpp"
#include "modules.hpp"

namespace vorlix {

namespace {

using namespace vx;

constexpr const char* public_names[] = {
    "App", "apps", "Launcher", "launchers", "VorlixException", "vorlix",
};

}  // namespace

void package_statements(ModuleBody& body) noexcept {
    body.from_import("._app", "App");
    body.from_import("._app", "api", "apps");
    body.from_import("._launcher", "Launcher");
    body.from_import("._launcher", "api", "launchers");
    body.from_import("._util", "VorlixException");
    body.from_import("._util", "vorlix");
    body.bind_list("__all__", public_names);
}

}  // namespace vorlix

namespace {

// The modules of the shared object, the package first, ended by an empty
// row.
constexpr vx::ModuleRow modules[] = {
    {"vorlix", true, vorlix::package_statements},
    {"vorlix._app", false, vorlix::app_statements},
    {"vorlix._launcher", false, vorlix::launcher_statements},
    {"vorlix._util", false, vorlix::util_statements},
    {{}, false, nullptr},
};

}  // namespace

// The shared object's one exported symbol: the interpreter calls it when
// `vorlix` is imported, and it hands the runtime the package's modules.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorlix(void) {
    return vx::package_definition(modules);
}
