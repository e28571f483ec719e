#include "module_table.hpp"

#include "../vorlix/modules.hpp"
#include "module_frame.hpp"
#include "names.hpp"
#include "pending_exception.hpp"
#include "state.hpp"

namespace vx {

const ModuleRow module_table[module_count + 1] = {
    {"vorlix", true, vorlix::package_statements},
    {"vorlix._app", false, vorlix::app_statements},
    {"vorlix._launcher", false, vorlix::launcher_statements},
    {"vorlix._util", false, vorlix::util_statements},
    {{}, false, nullptr},
};

namespace {

// Whether the module is in its first import, which the import system marks
// on its spec while the module runs; a reload or a second copy made from the
// spec runs with the mark off.
bool in_first_import(const State& state, PyObject* module) noexcept {
    Owned spec;
    Owned mark;
    return PyObject_GetOptionalAttr(module, state[dunder_spec], spec.out()) > 0 &&
           PyObject_GetOptionalAttr(spec, state[initializing], mark.out()) > 0 &&
           PyObject_IsTrue(mark) > 0;
}

// A package that failed on its first import leaves sys.modules, as a module
// whose import failed does; the entry goes only while it is this very
// module, never a live package that a reload or a copy ran beside. The
// pending exception is the body's own and stays as it is.
void forget_failed_package(const State& state, PyObject* module) noexcept {
    const PendingException error;
    PyObject* modules = PyImport_GetModuleDict();
    Owned name;
    Owned entry;
    if (in_first_import(state, module) &&
        PyObject_GetOptionalAttr(module, state[dunder_name], name.out()) > 0 &&
        PyDict_GetItemRef(modules, name, entry.out()) > 0 && entry.get() == module) {
        (void)PyDict_DelItem(modules, name);
    }
}

}  // namespace

bool run_module(State& state, const ModuleRow& row, PyObject* module) noexcept {
    ModuleBody body(state, module);
    if (set_standard_attributes(state, row, module) && row.statements(body) && body.finish()) {
        return true;
    }
    if (row.package) {
        forget_failed_package(state, module);
    }
    return false;
}

}  // namespace vx
