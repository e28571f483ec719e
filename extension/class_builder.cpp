#include "class_builder.hpp"

#include "function.hpp"
#include "names.hpp"
#include "state.hpp"

namespace vx {

namespace {

const Text dunder_qualname{"__qualname__"};
const Text dunder_firstlineno{"__firstlineno__"};
const Text dunder_static_attributes{"__static_attributes__"};

bool set_item(PyObject* namespace_, PyObject* key, Owned value) noexcept {
    return value && PyDict_SetItem(namespace_, key, value.get()) == 0;
}

Owned make_member(State& state, const MemberSpec& member, PyObject* globals,
                  std::string_view prefix) noexcept {
    Owned function = make_function(state, member.function, globals, prefix);
    if (!function || member.kind == MemberKind::method) {
        return function;
    }
    return steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), function.get()));
}

Owned make_static_attributes(const ClassSpec& spec) noexcept {
    Owned names = steal(PyTuple_New(static_cast<Py_ssize_t>(spec.static_attributes.size())));
    Py_ssize_t i = 0;
    for (const std::string_view attribute : spec.static_attributes) {
        Owned name = names ? intern(attribute) : Owned{};
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(names.get(), i++, name.release());
    }
    return names;
}

}  // namespace

Owned make_class(State& state, const ClassSpec& spec, PyObject* globals) noexcept {
    const Owned name = intern(spec.name);
    const Owned namespace_ = steal(PyDict_New());
    Owned module_name;
    if (!name || !namespace_ ||
        PyDict_GetItemRef(globals, state[dunder_name], module_name.out()) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a class needs its module's __name__");
        }
        return {};
    }
    // "App." prefixes the qualified names of App's functions.
    const Owned prefix = steal(PyUnicode_FromFormat("%U.", name.get()));
    if (!prefix || !set_item(namespace_.get(), state[dunder_module], std::move(module_name)) ||
        !set_item(namespace_.get(), state[dunder_qualname], add_ref(name.get())) ||
        !set_item(namespace_.get(), state[dunder_firstlineno],
                  steal(PyLong_FromLong(spec.firstlineno)))) {
        return {};
    }
    Py_ssize_t prefix_size = 0;
    const char* prefix_text = PyUnicode_AsUTF8AndSize(prefix.get(), &prefix_size);
    if (prefix_text == nullptr) {
        return {};
    }
    const std::string_view qualname_prefix(prefix_text, static_cast<std::size_t>(prefix_size));
    for (const MemberSpec& member : spec.members) {
        const Owned key = intern(member.function.name);
        if (!key || !set_item(namespace_.get(), key.get(),
                              make_member(state, member, globals, qualname_prefix))) {
            return {};
        }
    }
    if (!set_item(namespace_.get(), state[dunder_static_attributes],
                  make_static_attributes(spec))) {
        return {};
    }
    PyObject* base = spec.base == Base::exception ? PyExc_Exception
                                                  : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    const Owned bases = steal(PyTuple_Pack(1, base));
    if (!bases) {
        return {};
    }
    PyObject* args[] = {name.get(), bases.get(), namespace_.get()};
    return steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
}

}  // namespace vx
