#include "finder.hpp"

#include <cstddef>
#include <span>

#include "directory_finder.hpp"
#include "module_frame.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text insert_method{"insert"};

Text importlib_bootstrap{"_frozen_importlib"};
Text module_spec_name{"ModuleSpec"};
Text origin_keyword{"origin"};
Text is_package_keyword{"is_package"};
Text has_location{"has_location"};
Text search_locations{"submodule_search_locations"};
Text name_attribute{"name"};
Text sys_attribute{"sys"};
Text meta_path_attribute{"meta_path"};

constexpr std::size_t row_count = module_count;

struct LoaderObject {
    PyObject_HEAD
    const ModuleRow* row;
};

const ModuleRow& row_of(PyObject* loader) noexcept {
    return *reinterpret_cast<LoaderObject*>(loader)->row;
}

PyObject* loader_repr(PyObject* self) noexcept {
    const std::string_view name = row_of(self).name;
    return PyUnicode_FromFormat("<vorlix loader for '%.*s'>", static_cast<int>(name.size()), name.data());
}

// A plain module object named after the ModuleSpec; the import system sets the
// attributes it derives from the ModuleSpec, then exec_module runs the row.
PyObject* create_module(PyObject*, PyObject* spec) noexcept {
    Owned name = steal(PyObject_GetAttr(spec, name_attribute));
    return name ? PyModule_NewObject(name) : nullptr;
}

PyObject* exec_module(PyObject* self, PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "exec_module() expects a module");
        return nullptr;
    }
    const State* state = State::current();
    if (state == nullptr) {
        PyErr_SetString(PyExc_ImportError, "vorlix: the package is not set up in this interpreter");
        return nullptr;
    }
    return run_module(*state, row_of(self), module) ? Py_NewRef(Py_None) : nullptr;
}

// What importlib.abc.InspectLoader asks, answered as the interpreter's own
// loader for extension modules answers it: there is no Python code and no
// source, so runpy refuses `-m` for a submodule with "No code object
// available" and linecache finds no lines.
PyObject* is_package(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(row_of(self).package);
}

PyObject* no_code(PyObject*, PyObject*) noexcept { return Py_NewRef(Py_None); }

PyMethodDef loader_methods[] = {
    {"create_module", create_module, METH_O, nullptr},
    {"exec_module", exec_module, METH_O, nullptr},
    {"is_package", is_package, METH_O, nullptr},
    {"get_code", no_code, METH_O, nullptr},
    {"get_source", no_code, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot loader_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(loader_repr)},
    {Py_tp_methods, loader_methods},
    {0, nullptr},
};

PyType_Spec loader_spec = {
    .name = "vorlix.Loader",
    .basicsize = sizeof(LoaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = loader_slots,
};

Owned make_spec(const State& state, const ModuleRow& row, PyObject* name) noexcept {
    Owned origin = module_file(state, row);
    if (!origin) {
        return {};
    }
    PyObject* args[] = {name, state.loaders[&row - module_table], origin,
                        row.package ? Py_True : Py_False};
    Owned kwnames = steal(PyTuple_Pack(2, origin_keyword.get(), is_package_keyword.get()));
    Owned spec = kwnames ? steal(PyObject_Vectorcall(state.module_spec, args, 2, kwnames)) : Owned{};
    if (!spec || PyObject_SetAttr(spec, has_location, Py_True) < 0) {
        return {};
    }
    if (row.package) {
        Owned path = package_search_path(state);
        if (!path || PyObject_SetAttr(spec, search_locations, path) < 0) {
            return {};
        }
    }
    return spec;
}

// find_spec(fullname, path=None, target=None)
PyObject* find_spec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
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
// any other entry.
PyObject* path_hook(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 1 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "a path hook takes one path entry");
        return nullptr;
    }
    return directory_finder_for(PyTuple_GET_ITEM(args, 0)).release();
}

PyObject* finder_repr(PyObject*) noexcept { return PyUnicode_FromString("<vorlix finder>"); }

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
    .name = "vorlix.Finder",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = finder_slots,
};

}  // namespace

Owned table_spec(const State& state, PyObject* name, bool with_package) noexcept {
    for (const ModuleRow& row : std::span(module_table, row_count)) {
        if ((with_package || !row.package) &&
            PyUnicode_EqualToUTF8AndSize(name, row.name.data(),
                                         static_cast<Py_ssize_t>(row.name.size()))) {
            return make_spec(state, row, name);
        }
    }
    return add_ref(Py_None);
}

Owned import_system_sys() noexcept {
    Owned bootstrap = steal(PyImport_GetModule(importlib_bootstrap));
    Owned sys = bootstrap ? steal(PyObject_GetAttr(bootstrap, sys_attribute)) : Owned{};
    if (!sys && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "lost the import system");
    }
    return sys;
}

bool make_finder_and_loaders(State& state) noexcept {
    Owned bootstrap = steal(PyImport_Import(importlib_bootstrap));
    Owned spec_type = bootstrap ? steal(PyObject_GetAttr(bootstrap, module_spec_name)) : Owned{};
    Owned loader_type = spec_type ? steal(PyType_FromSpec(&loader_spec)) : Owned{};
    Owned finder_type = loader_type ? steal(PyType_FromSpec(&finder_spec)) : Owned{};
    if (!finder_type) {
        return false;
    }
    auto* loader_class = reinterpret_cast<PyTypeObject*>(loader_type.get());
    Owned made[row_count];
    for (std::size_t i = 0; i < row_count; ++i) {
        made[i] = steal(loader_class->tp_alloc(loader_class, 0));
        if (!made[i]) {
            return false;
        }
        reinterpret_cast<LoaderObject*>(made[i].get())->row = &module_table[i];
    }
    auto* finder_class = reinterpret_cast<PyTypeObject*>(finder_type.get());
    Owned new_finder = steal(finder_class->tp_alloc(finder_class, 0));
    if (!new_finder) {
        return false;
    }
    for (std::size_t i = 0; i < row_count; ++i) {
        state.loaders[i] = made[i].release();
    }
    state.module_spec = spec_type.release();
    state.finder = new_finder.release();
    return true;
}

int insert_once(PyObject* list, PyObject* item, bool at_the_front) noexcept {
    const int present = PySequence_Contains(list, item);
    if (present != 0) {
        return present > 0 ? 0 : -1;
    }
    Owned insert;
    const int takes_entries = PyObject_GetOptionalAttr(list, insert_method, insert.out());
    if (takes_entries <= 0) {
        return takes_entries;
    }
    const Py_ssize_t size = at_the_front ? 0 : PyObject_Size(list);
    Owned index = size >= 0 ? steal(PyLong_FromSsize_t(size < 2 ? size : 2)) : Owned{};
    PyObject* args[] = {index, item};
    return index && Owned(steal(PyObject_Vectorcall(insert, args, 2, nullptr))) ? 1 : -1;
}

// The meta path is the one that the import system walks: that of the sys
// module held by importlib's bootstrap. A host that restored an earlier
// meta path has taken the finder out; one that kept it must not get a
// second. A meta path that takes no entries (a tuple) stays as the host
// made it: the path hook then serves the submodules.
bool place_finder(const State& state) noexcept {
    Owned sys = import_system_sys();
    Owned path = sys ? steal(PyObject_GetAttr(sys, meta_path_attribute)) : Owned{};
    return path && insert_once(path, state.finder, false) >= 0;
}

}  // namespace vx
