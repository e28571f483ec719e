#include "class_builder.hpp"

#include "../core/names.hpp"
#include "../core/state.hpp"
#include "../function/function.hpp"

namespace vx {

namespace {

const Text dunder_qualname{"__qualname__"};
const Text dunder_firstlineno{"__firstlineno__"};
const Text dunder_static_attributes{"__static_attributes__"};

bool set_item(PyObject* namespace_, PyObject* key, Owned value) noexcept {
    return value && PyDict_SetItem(namespace_, key, value.get()) == 0;
}

// A method is its function; a property holds it as its getter.
Owned make_member(const MemberSpec& member, const Owned& function) noexcept {
    if (member.kind == MemberKind::method) {
        return add_ref(function.get());
    }
    return steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), function.get()));
}

}  // namespace

// The name the module binds, then the module's namespace, as a class
// statement reads.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
Owned make_class(State& state, const ClassSpec& spec, const ClassText& text, PyObject* name,
                 PyObject* globals) noexcept {
    const Owned namespace_ = steal(PyDict_New());
    Owned module_name;
    if (!namespace_ || PyDict_GetItemRef(globals, state[dunder_name], module_name.out()) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a class needs its module's __name__");
        }
        return {};
    }
    // "App." prefixes the qualified names of App's functions.
    const Owned prefix = steal(PyUnicode_FromFormat("%U.", name));
    if (!prefix || !set_item(namespace_.get(), state[dunder_module], std::move(module_name)) ||
        !set_item(namespace_.get(), state[dunder_qualname], add_ref(name)) ||
        !set_item(namespace_.get(), state[dunder_firstlineno],
                  steal(PyLong_FromLong(text.cls.firstlineno)))) {
        return {};
    }
    // Each member is bound under its function's name. The namespace holds
    // the functions until they learn their class.
    if (spec.members.size() > max_members) {
        PyErr_SetString(PyExc_SystemError, "a class has more members than the builder holds");
        return {};
    }
    PyObject* functions[max_members] = {};
    std::size_t made = 0;
    for (const MemberSpec& member : spec.members) {
        const Owned function = make_function(state, member.function, text.text, text.members[made],
                                             globals, prefix.get());
        if (!function || !set_item(namespace_.get(), defined_name(function.get()),
                                   make_member(member, function))) {
            return {};
        }
        functions[made++] = function.get();
    }
    if (!set_item(namespace_.get(), state[dunder_static_attributes],
                  built::name_tuple(text.text, text.cls.static_attributes))) {
        return {};
    }
    PyObject* base = spec.base == Base::exception ? PyExc_Exception
                                                  : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    const Owned bases = steal(PyTuple_Pack(1, base));
    if (!bases) {
        return {};
    }
    PyObject* args[] = {name, bases.get(), namespace_.get()};
    Owned cls = steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
    for (std::size_t i = 0; cls && i < made; ++i) {
        set_defining_class(functions[i], reinterpret_cast<PyTypeObject*>(cls.get()));
    }
    return cls;
}

}  // namespace vx
