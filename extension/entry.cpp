// The entry point. The interpreter loads the shared object as `vorlix`,
// calls PyInit_vorlix for the module definition (multi-phase), creates the
// package module and hands it to the execution slot, which runs the package
// body; the submodules come out of the module table through the finder.
#include "finder.hpp"
#include "function.hpp"
#include "module_frame.hpp"
#include "text.hpp"

namespace vx {

namespace {

bool set_up = false;

// Process-wide set-up, run by the first execution only: a retried import
// after a failure finds the finder already in place.
bool set_up_once() noexcept {
    if (set_up) {
        return true;
    }
    if (!intern_all_texts() || !ready_function_type() || !locate_shared_object() ||
        !make_finder_and_loaders() || !place_finder()) {
        return false;
    }
    set_up = true;
    return true;
}

int exec_package(PyObject* module) noexcept {
    // The set-up binds process-wide objects (types, the finder, interned
    // names) to the interpreter that runs it. A subinterpreter that skips
    // the import system's own check (a legacy, shared-GIL one) must not
    // make them, or reuse the main interpreter's.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters",
                     "vorlix");
        return -1;
    }
    if (!set_up_once()) {
        return -1;
    }
    return run_module(package_row(), module) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_package)},
    // The module keeps process-wide state (its types, the finder in
    // sys.meta_path), so a subinterpreter gets a clean ImportError instead.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vorlix",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace vx

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorlix(void) {
    return PyModuleDef_Init(&vx::definition);
}
