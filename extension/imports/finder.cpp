// The package finder and its loaders: which names they serve, and the
// specs and modules they make of the module table.
#include <cstddef>
#include <span>
#include <string_view>

#include "../core/names.hpp"
#include "../core/package.hpp"
#include "../module/module_frame.hpp"
#include "import_system.hpp"
#include "import_system_parts.hpp"

namespace vx {

namespace {

const Text module_spec_name{"ModuleSpec"};
const Text is_package_keyword{"is_package"};

struct LoaderObject {
    PyObject_HEAD
    const ModuleRow* row;
};

const ModuleRow& row_of(PyObject* loader) noexcept {
    return *reinterpret_cast<LoaderObject*>(loader)->row;
}

PyObject* loader_repr(PyObject* self) noexcept {
    const std::string_view name = row_of(self).name;
    return PyUnicode_FromFormat("<%s loader for '%.*s'>", served_package().name,
                                static_cast<int>(name.size()), name.data());
}

// The running interpreter's state, which the loaders need; ImportError
// once the interpreter has let go of it, at the very end of its
// finalisation.
State* loading_state() noexcept {
    State* state = State::current();
    if (state == nullptr) {
        PyErr_Format(PyExc_ImportError, "%s: the package is not set up in this interpreter",
                     served_package().name);
    }
    return state;
}

// A plain module object named after the ModuleSpec; the import system sets the
// attributes it derives from the ModuleSpec, then exec_module runs the row.
PyObject* create_module(PyObject*, PyObject* spec) noexcept {
    const State* state = loading_state();
    const Owned name = state != nullptr ? steal(PyObject_GetAttr(spec, (*state)[name_attribute]))
                                        : Owned{};
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

PyObject* exec_module(PyObject* self, PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "exec_module() expects a module");
        return nullptr;
    }
    State* state = loading_state();
    if (state == nullptr) {
        return nullptr;
    }
    const ModuleRow& row = row_of(self);
    const bool ran = row.package ? run_package(*state, module) : run_module(*state, row, module);
    return ran ? Py_NewRef(Py_None) : nullptr;
}

// What importlib.abc.InspectLoader asks, answered as the interpreter's own
// loader for extension modules answers it: there is no Python code and no
// source, so runpy refuses `-m` for a submodule with "No code object
// available" and linecache finds no lines.
PyObject* is_package(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(row_of(self).package);
}

PyObject* no_code(PyObject*, PyObject*) noexcept { return Py_NewRef(Py_None); }

// importlib.resources asks the loader of a module for its resource reader;
// the loader is its own, and what it reads is the package directory, which
// holds no resources (resources.cpp).
PyObject* resource_reader(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* files(PyObject*, PyObject*) noexcept {
    State* state = loading_state();
    return state != nullptr ? package_directory(*state).release() : nullptr;
}

PyMethodDef loader_methods[] = {
    {"create_module", create_module, METH_O, nullptr},
    {"exec_module", exec_module, METH_O, nullptr},
    {"is_package", is_package, METH_O, nullptr},
    {"get_code", no_code, METH_O, nullptr},
    {"get_source", no_code, METH_O, nullptr},
    {"get_resource_reader", resource_reader, METH_O, nullptr},
    {"files", files, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot loader_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(loader_repr)},
    {Py_tp_methods, loader_methods},
    {0, nullptr},
};

PyType_Spec loader_spec = {
    .name = "Loader",
    .basicsize = sizeof(LoaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = loader_slots,
};

Owned make_spec(const State& state, const ModuleRow& row, PyObject* name) noexcept {
    const Owned origin = module_file(state, row);
    if (!origin) {
        return {};
    }
    PyObject* args[] = {name, PyTuple_GET_ITEM(state.loaders.get(), &row - state.modules.data()),
                        origin.get(), row.package ? Py_True : Py_False};
    const Owned kwnames = steal(
        PyTuple_Pack(2, state[origin_attribute], state[is_package_keyword]));
    Owned spec = kwnames
                     ? steal(PyObject_Vectorcall(state.module_spec.get(), args, 2, kwnames.get()))
                     : Owned{};
    if (!spec || PyObject_SetAttr(spec.get(), state[has_location], Py_True) < 0) {
        return {};
    }
    if (row.package) {
        const Owned path = package_search_path(state);
        if (!path || PyObject_SetAttr(spec.get(), state[search_locations], path.get()) < 0) {
            return {};
        }
    }
    return spec;
}

// find_spec(fullname, path=None, target=None)
PyObject* find_spec(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    if (nargs < 1 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "find_spec() needs the module's full name");
        return nullptr;
    }
    (void)kwnames;  // the search path and target module do not change the answer
    // Once the interpreter has forgotten its state, at the very end of its
    // finalisation, the finder answers for nothing.
    const State* state = State::current();
    return state != nullptr ? table_spec(*state, args[0], true).release() : Py_NewRef(Py_None);
}

PyObject* invalidate_caches(PyObject*, PyObject*) noexcept { return Py_NewRef(Py_None); }

// Called with a path entry, the finder is its own path hook in
// sys.path_hooks: a finder for the package directory, and ImportError for
// any other entry. (PyObject_Size rather than PyDict_GET_SIZE, whose debug
// build for 3.15 names a type that 3.14 lacks: the module must load in the
// wrong interpreter to refuse it in its own words.)
PyObject* path_hook(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 1 || (kwargs != nullptr && PyObject_Size(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "a path hook takes one path entry");
        return nullptr;
    }
    return directory_finder_for(PyTuple_GET_ITEM(args, 0)).release();
}

PyObject* finder_repr(PyObject*) noexcept {
    return PyUnicode_FromFormat("<%s finder>", served_package().name);
}

PyMethodDef finder_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_spec)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"invalidate_caches", invalidate_caches, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot finder_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(finder_repr)},
    {Py_tp_call, reinterpret_cast<void*>(path_hook)},
    {Py_tp_methods, finder_methods},
    {0, nullptr},
};

PyType_Spec finder_spec = {
    .name = "Finder",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = finder_slots,
};

std::string_view utf8(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();  // a name with lone surrogates is none of ours
        return {};
    }
    return {data, static_cast<std::size_t>(size)};
}

// The row that serves `name`: the table's names are taken relative to a
// name the package was imported under, so a copy vendored as `outer.vorlix`
// serves `outer.vorlix._app` and never a top-level `vorlix`. Null for any
// other name.
const ModuleRow* row_for(const State& state, PyObject* name) noexcept {
    const std::string_view full = utf8(name);
    const std::size_t stem = state.package_row().name.size();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(state.package_names.get()); ++i) {
        const std::string_view package = utf8(PyList_GET_ITEM(state.package_names.get(), i));
        if (package.empty() || !full.starts_with(package)) {
            continue;
        }
        const std::string_view rest{full.data() + package.size(), full.size() - package.size()};
        for (const ModuleRow& row : state.modules) {
            if (rest == std::string_view{row.name.data() + stem, row.name.size() - stem}) {
                return &row;
            }
        }
    }
    return nullptr;
}

}  // namespace

bool answer_to_name_of(const State& state, PyObject* module) noexcept {
    const Owned name = steal(PyModule_GetNameObject(module));
    const Owned modules = name ? sys_setting("modules") : Owned{};
    Owned entry;
    const int found = modules ? PyMapping_GetOptionalItem(modules.get(), name.get(), entry.out())
                              : -1;
    if (found <= 0 || entry.get() != module) {
        return found >= 0;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(state.package_names.get()); ++i) {
        if (utf8(PyList_GET_ITEM(state.package_names.get(), i)) == utf8(name.get())) {
            return true;
        }
    }
    return PyList_Append(state.package_names.get(), name.get()) == 0;
}

Owned table_spec(const State& state, PyObject* name, bool with_package) noexcept {
    const ModuleRow* row = row_for(state, name);
    if (row == nullptr || (row->package && !with_package)) {
        return add_ref(Py_None);
    }
    return make_spec(state, *row, name);
}

bool make_finder_and_loaders(State& state) noexcept {
    const Owned bootstrap = steal(PyImport_Import(state[importlib_bootstrap]));
    Owned spec_type = bootstrap ? steal(PyObject_GetAttr(bootstrap.get(), state[module_spec_name]))
                                : Owned{};
    const Owned loader_type = spec_type ? steal(package_type(loader_spec)) : Owned{};
    const Owned finder_type = loader_type ? steal(package_type(finder_spec)) : Owned{};
    if (!finder_type) {
        return false;
    }
    auto* loader_class = reinterpret_cast<PyTypeObject*>(loader_type.get());
    state.loaders = steal(PyTuple_New(static_cast<Py_ssize_t>(state.modules.size())));
    for (std::size_t i = 0; state.loaders && i < state.modules.size(); ++i) {
        PyObject* loader = loader_class->tp_alloc(loader_class, 0);
        if (loader == nullptr) {
            return false;
        }
        reinterpret_cast<LoaderObject*>(loader)->row = &state.modules[i];
        PyTuple_SET_ITEM(state.loaders.get(), static_cast<Py_ssize_t>(i), loader);
    }
    auto* finder_class = reinterpret_cast<PyTypeObject*>(finder_type.get());
    state.finder = state.loaders ? steal(finder_class->tp_alloc(finder_class, 0)) : Owned{};
    state.package_names = state.finder ? steal(PyList_New(0)) : Owned{};
    state.module_spec = std::move(spec_type);
    return static_cast<bool>(state.package_names);
}

}  // namespace vx
