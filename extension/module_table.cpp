#include "module_table.hpp"

#include "../vorlix/modules.hpp"
#include "module_frame.hpp"
#include "text.hpp"

namespace vx {

const ModuleRow module_table[module_count + 1] = {
    {"vorlix", true, vorlix::package_statements},
    {"vorlix._app", false, vorlix::app_statements},
    {"vorlix._launcher", false, vorlix::launcher_statements},
    {"vorlix._util", false, vorlix::util_statements},
    {{}, false, nullptr},
};

namespace {

Text dunder_name{"__name__"};

// Keeps the pending exception while the failed package leaves sys.modules.
void forget_failed_package(PyObject* module) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    Owned name;
    if (PyObject_GetOptionalAttr(module, dunder_name, name.out()) > 0 &&
        PyDict_Pop(modules, name, nullptr) < 0) {
        PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error);
}

}  // namespace

bool run_module(const ModuleRow& row, PyObject* module) noexcept {
    ModuleBody body(module);
    if (set_standard_attributes(row, module) && row.statements(body)) {
        return true;
    }
    if (row.package) {
        forget_failed_package(module);
    }
    return false;
}

}  // namespace vx
