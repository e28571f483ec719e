// vorlix: the package body and its public names. Its Python text is
// bench/pyvorlix/__init__.py, which the build compiles and checks the
// statements below against.
#include "python_text/__init__.hpp"
#include "../extension/entry.hpp"
#include "modules.hpp"

namespace vorlix {

namespace {

using namespace vx;

constexpr const char* public_names[] = {
    "App", "apps", "Launcher", "launchers", "VorlixException", "vorlix",
};

constexpr Statement statements[] = {
    from_import("._app", "App"),
    from_import("._app", "api", "apps"),
    from_import("._launcher", "Launcher"),
    from_import("._launcher", "api", "launchers"),
    from_import("._util", "VorlixException"),
    from_import("._util", "vorlix"),
    bind_list("__all__", public_names),
};
static_assert(python_text::package::agrees<statements>());

constexpr ModuleCode package_module{statements, python_text::package::module};

}  // namespace

}  // namespace vorlix

namespace {

// The modules of the shared object, the package first, ended by an empty
// row. The package's row names it for the runtime: its directory and files,
// its state's key, the runtime's types and messages.
constexpr vx::ModuleRow modules[] = {
    {"vorlix", true, &vorlix::package_module},
    {"vorlix._app", false, &vorlix::app_module},
    {"vorlix._launcher", false, &vorlix::launcher_module},
    {"vorlix._util", false, &vorlix::util_module},
    {{}, false, nullptr},
};

constexpr vx::Package package{modules};

}  // namespace

// The shared object's one exported symbol: the interpreter calls it when
// `vorlix` is imported, and it hands the runtime the package.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorlix(void) {
    return vx::package_definition(package);
}
