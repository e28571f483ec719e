// The package directory's own path-entry finder (import_system.hpp).
#include <cstddef>
#include <span>
#include <string_view>

#include "../core/module_table.hpp"
#include "../core/names.hpp"
#include "../core/package.hpp"
#include "import_system_parts.hpp"

namespace vx {

namespace {

const Text find_spec_method{"find_spec"};
const Text pkgutil_module{"pkgutil"};
const Text iter_importer_modules{"iter_importer_modules"};

struct DirectoryFinder {
    PyObject_HEAD
    PyObject* path;    // the package directory, as the path-based finder gave it
    PyObject* others;  // what the other path hooks make of it; null until asked
};

DirectoryFinder* as_finder(PyObject* self) noexcept {
    return reinterpret_cast<DirectoryFinder*>(self);
}

// The finder that the path-based finder would have made for the directory
// without the package's hook: what the first other hook of sys.path_hooks
// that accepts it gives, None when each refuses (as they do for a directory
// that does not exist). Asked when first needed and after invalidate_caches.
Owned others_of(PyObject* self) noexcept {
    DirectoryFinder* finder = as_finder(self);
    if (finder->others != nullptr) {
        return add_ref(finder->others);
    }
    const Owned hooks = sys_setting("path_hooks");
    const Owned iterator = hooks ? steal(PyObject_GetIter(hooks.get())) : Owned{};
    Owned found = add_ref(Py_None);
    for (Owned hook; iterator && (hook = steal(PyIter_Next(iterator.get())));) {
        Owned made = steal(PyObject_CallOneArg(hook.get(), finder->path));
        if (made && !Py_IS_TYPE(made.get(), Py_TYPE(self))) {
            found = std::move(made);
            break;
        }
        if (!made && !PyErr_ExceptionMatches(PyExc_ImportError)) {
            break;  // anything but a refusal is the caller's
        }
        PyErr_Clear();
    }
    if (!iterator || PyErr_Occurred()) {
        return {};
    }
    // A hook that imported something may have come back here meanwhile.
    if (finder->others == nullptr) {
        finder->others = Py_NewRef(found.get());
    }
    return add_ref(finder->others);
}

// find_spec(fullname, target=None). Once the interpreter has let go of its
// state, at the very end of its finalisation, the finder answers for
// nothing, as the package finder does.
PyObject* find_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    if (nargs < 1 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "find_spec() needs the module's full name");
        return nullptr;
    }
    const State* state = State::current();
    if (state == nullptr) {
        return Py_NewRef(Py_None);
    }
    Owned spec = table_spec(*state, args[0], false);
    if (!spec || spec.get() != Py_None) {
        return spec.release();
    }
    Owned others = others_of(self);
    if (!others || others.get() == Py_None) {
        return others.release();
    }
    const Owned method = steal(PyObject_GetAttr(others.get(), (*state)[find_spec_method]));
    return method
               ? PyObject_Vectorcall(method.get(), args, static_cast<std::size_t>(nargs), kwnames)
               : nullptr;
}

// A listing under way: the prefix of its names, the names that the table
// serves, and the (name, is package) pairs listed so far.
struct Listing {
    PyObject* prefix;
    PyObject* ours;
    PyObject* listed;
};

// What the other hooks' finder lists, through pkgutil, which knows how to
// list each kind; names that the table serves are left out.
bool list_others(const State& state, PyObject* self, const Listing& listing) noexcept {
    const Owned others = others_of(self);
    if (!others || others.get() == Py_None) {
        return static_cast<bool>(others);
    }
    const Owned pkgutil = steal(PyImport_Import(state[pkgutil_module]));
    const Owned lister = pkgutil
                             ? steal(PyObject_GetAttr(pkgutil.get(), state[iter_importer_modules]))
                             : Owned{};
    PyObject* args[] = {others.get(), listing.prefix};
    const Owned found = lister ? steal(PyObject_Vectorcall(lister.get(), args, 2, nullptr))
                               : Owned{};
    const Owned iterator = found ? steal(PyObject_GetIter(found.get())) : Owned{};
    const Owned first = iterator ? steal(PyLong_FromSsize_t(0)) : Owned{};
    if (!first) {
        return false;
    }
    for (Owned item = steal(PyIter_Next(iterator.get())); item;
         item = steal(PyIter_Next(iterator.get()))) {
        const Owned module = steal(PyObject_GetItem(item.get(), first.get()));
        const int served = module ? PySequence_Contains(listing.ours, module.get()) : -1;
        if (served < 0 || (served == 0 && PyList_Append(listing.listed, item.get()) < 0)) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// iter_modules(prefix=''), which pkgutil.iter_modules asks of the finder of
// each path entry: the submodules, and the rest of the directory beside
// them, as (name, is package) pairs in name order, as for a directory; an
// empty list once the interpreter has let go of its state.
PyObject* iter_modules(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    // The empty string is the interpreter's own, which cannot fail to make.
    const Owned prefix = add_ref(nargs > 0 ? args[0]
                                           : Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR));
    if (nargs > 1 || !PyUnicode_Check(prefix.get())) {
        PyErr_SetString(PyExc_TypeError, "iter_modules() takes one optional str, the prefix");
        return nullptr;
    }
    const State* state = State::current();
    if (state == nullptr) {
        return PyList_New(0);
    }
    Owned listed = steal(PyList_New(0));
    const Owned ours = steal(PyList_New(0));
    if (!listed || !ours) {
        return nullptr;
    }
    for (const ModuleRow& row : state->modules) {
        if (row.package) {
            continue;
        }
        const std::size_t start = row.name.rfind('.') + 1;
        const std::string_view leaf{row.name.data() + start, row.name.size() - start};
        const Owned name = steal(PyUnicode_FromFormat("%U%.*s", prefix.get(),
                                                      static_cast<int>(leaf.size()), leaf.data()));
        const Owned pair = name ? steal(PyTuple_Pack(2, name.get(), Py_False)) : Owned{};
        if (!pair || PyList_Append(ours.get(), name.get()) < 0 ||
            PyList_Append(listed.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    return list_others(*state, self, Listing{prefix.get(), ours.get(), listed.get()}) &&
                   PyList_Sort(listed.get()) == 0
               ? listed.release()
               : nullptr;
}

// Files may have come or gone: the other hooks are asked again.
PyObject* invalidate_caches(PyObject* self, PyObject*) noexcept {
    Py_CLEAR(as_finder(self)->others);
    return Py_NewRef(Py_None);
}

PyObject* finder_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<%s finder for %R>", served_package().name, as_finder(self)->path);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_finder(self)->others);
    return 0;
}

int clear(PyObject* self) noexcept {
    Py_CLEAR(as_finder(self)->others);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_finder(self)->path);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef finder_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_spec)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"iter_modules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_modules)),
     METH_FASTCALL, nullptr},
    {"invalidate_caches", invalidate_caches, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef finder_members[] = {
    {"path", Py_T_OBJECT_EX, offsetof(DirectoryFinder, path), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot finder_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(finder_repr)},
    {Py_tp_methods, finder_methods},
    {Py_tp_members, finder_members},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec finder_spec = {
    .name = "DirectoryFinder",
    .basicsize = sizeof(DirectoryFinder),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_HAVE_GC,
    .slots = finder_slots,
};

// 1 for the package directory, 0 for any other entry, -1 with the
// exception of an entry whose comparison failed (a str subclass's own
// __eq__), which reaches the caller as it is.
int is_package_directory(const State* state, PyObject* entry) noexcept {
    if (state == nullptr || !PyUnicode_Check(entry)) {
        return 0;
    }
    return PyObject_RichCompareBool(entry, state->package_dir.get(), Py_EQ);
}

}  // namespace

bool is_directory_finder(const State& state, PyObject* object) noexcept {
    return state.directory_finder_type &&
           Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(state.directory_finder_type.get()));
}

Owned directory_finder_for(PyObject* entry) noexcept {
    State* state = State::current();
    const int ours = is_package_directory(state, entry);
    if (ours < 0) {
        return {};
    }
    if (ours == 0) {
        const Owned message = steal(
            PyUnicode_FromFormat("not the %s package directory", served_package().name));
        if (message) {
            PyErr_SetImportError(message.get(), nullptr, entry);
        }
        return {};
    }
    if (!state->directory_finder_type) {
        state->directory_finder_type = steal(package_type(finder_spec));
        if (!state->directory_finder_type) {
            return {};
        }
    }
    auto* type = reinterpret_cast<PyTypeObject*>(state->directory_finder_type.get());
    Owned finder = steal(type->tp_alloc(type, 0));
    if (finder) {
        as_finder(finder.get())->path = Py_NewRef(entry);
    }
    return finder;
}

}  // namespace vx
