#include "run_module.hpp"

#include "../core/state.hpp"
#include "module_body.hpp"
#include "module_frame.hpp"

namespace vx {

bool run_module(State& state, const ModuleRow& row, PyObject* module) noexcept {
    if (!set_standard_attributes(state, row, module)) {
        return false;
    }
    ModuleBody body(state, module, *row.code);
    return body.run();
}

}  // namespace vx
