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
#include "../extension/names.hpp"
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
