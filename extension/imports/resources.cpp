// What importlib.resources reads of the package. The package ships no
// resource files and its directory, `__path__[0]`, need not exist; it is
// read as a directory that exists and holds nothing, so that every question
// has the answer a Python package without resources gives: `files()` is a
// directory with no entries, `as_file()` gives an empty directory, and
// reading a resource raises FileNotFoundError naming it below the package
// directory. The objects are importlib.resources' Traversables: `name`,
// `is_dir()`, `is_file()`, `iterdir()`, `joinpath()` and `/`, `open()`,
// `read_bytes()` and `read_text()`.
#include "import_system_parts.hpp"

#include <cerrno>

#include "../core/package.hpp"

namespace vx {

namespace {

// The package directory, or a path below it, where nothing exists.
struct Entry {
    PyObject_HEAD
    PyObject* path;  // str: `__path__[0]`, or a path below it
    bool exists;     // only the package directory itself
};

Entry* as_entry(PyObject* self) noexcept { return reinterpret_cast<Entry*>(self); }

Owned make_entry(PyTypeObject* type, PyObject* path, bool exists) noexcept {
    Owned entry = steal(type->tp_alloc(type, 0));
    if (entry) {
        as_entry(entry.get())->path = Py_NewRef(path);
        as_entry(entry.get())->exists = exists;
    }
    return entry;
}

// What the file system answers for the path: it is a directory, or there
// is nothing there (IsADirectoryError or FileNotFoundError, made by OSError
// from the error number).
PyObject* refuse(PyObject* self) noexcept {
    const bool exists = as_entry(self)->exists;
    const Owned error = steal(
        PyObject_CallFunction(PyExc_OSError, "isO", exists ? EISDIR : ENOENT,
                              exists ? "Is a directory" : "No such file or directory",
                              as_entry(self)->path));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

// open(mode='r', ...), read_bytes() and read_text(...) alike: there is no
// file to read, whatever the arguments.
PyObject* open(PyObject* self, PyObject*, PyObject*) noexcept { return refuse(self); }

PyObject* is_dir(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(as_entry(self)->exists);
}

PyObject* is_file(PyObject*, PyObject*) noexcept { return Py_NewRef(Py_False); }

PyObject* iterdir(PyObject* self, PyObject*) noexcept {
    if (!as_entry(self)->exists) {
        return refuse(self);
    }
    const Owned nothing = steal(PyTuple_New(0));
    return nothing ? PyObject_GetIter(nothing.get()) : nullptr;
}

// joinpath(*descendants): each a str or a path-like object that gives one;
// empty ones add nothing, as for a pathlib path.
PyObject* joinpath(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Owned path = add_ref(as_entry(self)->path);
    bool below = false;
    for (Py_ssize_t i = 0; path && i < nargs; ++i) {
        const Owned part = steal(PyOS_FSPath(args[i]));
        if (part && !PyUnicode_Check(part.get())) {
            PyErr_Format(PyExc_TypeError, "expected a str path, not %T", part.get());
            return nullptr;
        }
        if (part && PyUnicode_GET_LENGTH(part.get()) == 0) {
            continue;
        }
        below = true;
        path = part ? steal(PyUnicode_FromFormat("%U/%U", path.get(), part.get())) : Owned{};
    }
    if (!path) {
        return nullptr;
    }
    return below ? make_entry(Py_TYPE(self), path.get(), false).release() : Py_NewRef(self);
}

// The last part of the path, cut from the str itself: a directory whose
// name is not UTF-8 comes with escaped bytes, which have no UTF-8 form.
PyObject* get_name(PyObject* self, void*) noexcept {
    PyObject* path = as_entry(self)->path;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    Py_ssize_t start = length;
    while (start > 0 && PyUnicode_READ_CHAR(path, start - 1) != '/') {
        --start;
    }
    return PyUnicode_Substring(path, start, length);
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_entry(self)->path);
    type->tp_free(self);
    Py_DECREF(type);
}

// entry / descendant; the other way round is no path.
PyObject* divide(PyObject* left, PyObject* right) noexcept {
    if (Py_TYPE(left)->tp_dealloc != dealloc) {
        return Py_NewRef(Py_GetConstantBorrowed(Py_CONSTANT_NOT_IMPLEMENTED));
    }
    return joinpath(left, &right, 1);
}

PyMethodDef methods[] = {
    {"is_dir", is_dir, METH_NOARGS, nullptr},
    {"is_file", is_file, METH_NOARGS, nullptr},
    {"iterdir", iterdir, METH_NOARGS, nullptr},
    {"joinpath", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(joinpath)),
     METH_FASTCALL, nullptr},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"read_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"read_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_nb_true_divide, reinterpret_cast<void*>(divide)},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "ResourcePath",
    .basicsize = sizeof(Entry),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};

}  // namespace

Owned package_directory(State& state) noexcept {
    if (!state.resource_type) {
        state.resource_type = steal(package_type(spec));
        if (!state.resource_type) {
            return {};
        }
    }
    return make_entry(reinterpret_cast<PyTypeObject*>(state.resource_type.get()),
                      state.package_dir.get(), true);
}

}  // namespace vx
