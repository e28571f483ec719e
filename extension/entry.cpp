// What the entry point returns. The interpreter loads the shared object
// under the package's name and calls its PyInit_<name> (the package's own,
// beside its module table), which hands the package over here and returns
// the module definition (multi-phase); the interpreter creates the package
// module and hands it to the execution slot, which runs the package body;
// the submodules come out of the module table through the finder.
#include "entry.hpp"

#include <atomic>

#include "core/package.hpp"
#include "core/state.hpp"
#include "core/version_guard.hpp"
#include "cpython/internals.hpp"
#include "cpython/refusal.hpp"
#include "imports/import_system.hpp"
#include "module/module_frame.hpp"

namespace vx {

namespace {

// Each interpreter that imports the package sets it up for itself the first
// time (state.hpp): after the names, each part fills its own fields of the
// state, in this order.
bool set_up(State& state) noexcept {
    state.modules = served_package().modules;
    return locate_shared_object(state) && make_finder_and_loaders(state);
}

// Every run of the package body, a retried import or a reload too, then
// makes sure that the finder stands in sys.meta_path and its path hook in
// sys.path_hooks (run_package).
int exec_package(PyObject* module) noexcept {
    State* state = State::get_or_make(set_up);
    return state != nullptr && run_package(*state, module) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_package)},
    // Nothing is shared between interpreters, so each may have its own GIL.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = nullptr,  // the package's (package_definition)
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyObject* package_definition(const Package& package) noexcept {
    cpython::refuse_for(package.name);
    if (!runs_on_its_own_cpython(package.name) || !cpython::check_internals()) {
        return nullptr;
    }
    serve(package);
    // Named by the first import in the process. An interpreter's import
    // running meanwhile finds it named, and the interpreter only reads the
    // name after that, so the one write never races a read.
    const char* unnamed = nullptr;
    std::atomic_ref(definition.m_name).compare_exchange_strong(unnamed, package.name);
    return PyModuleDef_Init(&definition);
}

}  // namespace vx
