#include "module_frame.hpp"

#include <string_view>

#include "../core/loaded_path.hpp"
#include "../core/names.hpp"
#include "../core/package.hpp"

namespace vx {

namespace {

const Text dunder_package{"__package__"};
const Text dunder_loader{"__loader__"};
const Text dunder_doc{"__doc__"};
const Text dunder_path{"__path__"};
const Text dunder_cached{"__cached__"};
const Text loader_attribute{"loader"};

// Slicing that cannot throw: std::string_view::substr would pull in the
// C++ runtime's exception support.
constexpr std::string_view head(std::string_view text, std::size_t end) noexcept {
    return {text.data(), end < text.size() ? end : text.size()};
}

constexpr std::string_view tail(std::string_view text, std::size_t start) noexcept {
    return start < text.size() ? std::string_view{text.data() + start, text.size() - start}
                               : std::string_view{};
}

std::string_view leaf_name(const ModuleRow& row) noexcept {
    if (row.package) {
        return "__init__";
    }
    return tail(row.name, row.name.rfind('.') + 1);
}

// `__package__`: the package's own name, or a submodule's name up to its
// last dot, whatever name the package was imported under.
Owned parent_name(const ModuleRow& row, PyObject* module) noexcept {
    Owned name = steal(PyModule_GetNameObject(module));
    if (!name || row.package) {
        return name;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        return {};
    }
    const std::size_t dot = std::string_view{text, static_cast<std::size_t>(size)}.rfind('.');
    return steal(PyUnicode_FromStringAndSize(text, dot != std::string_view::npos
                                                       ? static_cast<Py_ssize_t>(dot)
                                                       : 0));
}

// Bytes of a path as Python keeps them: in the file-system encoding, with
// what does not decode escaped (surrogateescape), so that the names below
// D are those the path-based finder and os.listdir give for them.
Owned decode_path(std::string_view bytes) noexcept {
    return steal(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

bool set(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    return value != nullptr && PyDict_SetItem(dict, key, value) == 0;
}

}  // namespace

bool locate_shared_object(State& state) noexcept {
    const Package& package = served_package();
    // The module table is data of the shared object, as anything of it
    // would do.
    const char* loaded = loaded_path(package.modules.data());
    if (loaded == nullptr) {
        PyErr_Format(PyExc_ImportError, "%s: cannot tell where its shared object was loaded from",
                     package.name);
        return false;
    }
    const std::string_view path = loaded;
    const std::size_t slash = path.rfind('/');
    const std::string_view directory = slash == std::string_view::npos ? "." : head(path, slash);
    const std::string_view file = slash == std::string_view::npos ? path : tail(path, slash + 1);
    // The suffix is whatever follows the package's name, so every file name
    // in the package directory ends the way the shared object's own does.
    const std::string_view stem = package.name;
    std::string_view suffix;
    if (file.starts_with(stem)) {
        suffix = tail(file, stem.size());
    } else if (file.find('.') != std::string_view::npos) {
        suffix = tail(file, file.find('.'));
    }
    const Owned decoded = decode_path(directory);
    state.package_dir = decoded ? steal(PyUnicode_FromFormat("%U/%s", decoded.get(), package.name))
                                : Owned{};
    state.file_suffix = state.package_dir ? decode_path(suffix) : Owned{};
    return static_cast<bool>(state.file_suffix);
}

Owned package_search_path(const State& state) noexcept {
    Owned path = steal(PyList_New(1));
    if (path) {
        PyList_SET_ITEM(path.get(), 0, Py_NewRef(state.package_dir.get()));
    }
    return path;
}

Owned module_file(const State& state, const ModuleRow& row) noexcept {
    const std::string_view leaf = leaf_name(row);
    return steal(PyUnicode_FromFormat("%U/%.*s%U", state.package_dir.get(),
                                      static_cast<int>(leaf.size()), leaf.data(),
                                      state.file_suffix.get()));
}

bool set_standard_attributes(const State& state, const ModuleRow& row, PyObject* module) noexcept {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* loader = PyTuple_GET_ITEM(state.loaders.get(), &row - state.modules.data());
    const Owned package = parent_name(row, module);
    const Owned builtins = steal(PyEval_GetFrameBuiltins());
    Owned spec;
    if (!package || !builtins || !set(dict, state[dunder_package], package.get()) ||
        PyDict_SetDefaultRef(dict, state[dunder_builtins], builtins.get(), nullptr) < 0 ||
        !set(dict, state[dunder_loader], loader) ||
        PyDict_GetItemRef(dict, state[dunder_spec], spec.out()) < 0) {
        return false;
    }
    if (!spec) {
        spec = add_ref(Py_None);
    }
    if (row.package && spec.get() != Py_None &&
        PyObject_SetAttr(spec.get(), state[loader_attribute], loader) < 0) {
        return false;
    }
    const Owned file = module_file(state, row);
    if (!set(dict, state[dunder_spec], spec.get()) || !set(dict, state[dunder_doc], Py_None) ||
        !set(dict, state[dunder_file], file.get())) {
        return false;
    }
    const Owned path = row.package ? package_search_path(state) : Owned{};
    if (row.package && !set(dict, state[dunder_path], path.get())) {
        return false;
    }
    if (spec.get() != Py_None &&
        (PyObject_SetAttr(spec.get(), state[origin_attribute], file.get()) < 0 ||
         PyObject_SetAttr(spec.get(), state[has_location], Py_True) < 0 ||
         (row.package && PyObject_SetAttr(spec.get(), state[search_locations], path.get()) < 0))) {
        return false;
    }
    return set(dict, state[dunder_cached], Py_None);
}

}  // namespace vx
