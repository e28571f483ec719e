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
#include <array>

#include "../extension/names.hpp"
#include "modules.hpp"

namespace vorlix {

namespace {

using namespace vx;

constexpr std::array public_names = {"App", "apps", "Launcher", "launchers", "VorlixException", "vorlix"};

// A new list each time the body runs.
Owned make_all() noexcept {
    Owned names = steal(PyList_New(public_names.size()));
    if (!names) {
        return {};
    }
    for (std::size_t i = 0; i < public_names.size(); ++i) {
        Owned name = intern(public_names[i]);
        if (!name) {
            return {};
        }
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return names;
}

}  // namespace

bool package_statements(ModuleBody& body) noexcept {
    return body.from_import("._app", "App")
        && body.from_import("._app", "api", "apps")
        && body.from_import("._launcher", "Launcher")
        && body.from_import("._launcher", "api", "launchers")
        && body.from_import("._util", "VorlixException")
        && body.from_import("._util", "vorlix")
        && body.bind("__all__", make_all());
}

}  // namespace vorlix
