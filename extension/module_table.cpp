#include "module_table.hpp"

#include "../vorlix/modules.hpp"
#include "module_frame.hpp"
#include "state.hpp"

namespace vx {

const ModuleRow module_table[module_count + 1] = {
    {"vorlix", true, vorlix::package_statements},
    {"vorlix._app", false, vorlix::app_statements},
    {"vorlix._launcher", false, vorlix::launcher_statements},
    {"vorlix._util", false, vorlix::util_statements},
    {{}, false, nullptr},
};

bool run_module(State& state, const ModuleRow& row, PyObject* module) noexcept {
    ModuleBody body(state, module);
    if (!set_standard_attributes(state, row, module)) {
        return false;
    }
    row.statements(body);
    return body.finish();
}

}  // namespace vx
