#include "run_module.hpp"

#include "../core/state.hpp"
#include "module_body.hpp"
#include "module_frame.hpp"

namespace vx {

bool run_module(State& state, const ModuleRow& row, PyObject* module) noexcept {
    ModuleBody body(state, module);
    if (!set_standard_attributes(state, row, module)) {
        return false;
    }
    row.statements(body);
    return body.finish();
}

}  // namespace vx
