// Built from the C API calls that the rest of the module already imports:
// every other one would add its symbol, its relocation and its PLT entry to
// the module's first pages.
#include "forward_ref.hpp"

namespace vx {

namespace {

Owned attribute(PyObject* object, const char* name) noexcept {
    const Owned key = steal(PyUnicode_FromString(name));
    return key ? steal(PyObject_GetAttr(object, key.get())) : Owned{};
}

bool set_attribute(PyObject* object, const char* name, PyObject* value) noexcept {
    const Owned key = steal(PyUnicode_FromString(name));
    return key && PyObject_SetAttr(object, key.get(), value) == 0;
}

// annotationlib.ForwardRef, and the list of those made, at the first need.
bool ready(Forwarding& forwarding) noexcept {
    if (!forwarding.forward_ref) {
        const Owned name = steal(PyUnicode_FromString("annotationlib"));
        const Owned module = name ? steal(PyImport_Import(name.get())) : Owned{};
        forwarding.made = module ? steal(PyList_New(0)) : Owned{};
        forwarding.forward_ref = forwarding.made ? attribute(module.get(), "ForwardRef") : Owned{};
    }
    return static_cast<bool>(forwarding.forward_ref);
}

// A new ForwardRef for the expression `text`, with `extras` (a dict, or null
// for none) as its extra names: with the attributes that annotationlib
// gives those it makes from its stand-ins. (The text, then what it names:
// the two callers spell out both.)
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
Owned make_forward(Forwarding& forwarding, PyObject* text, PyObject* extras) noexcept {
    Owned made = ready(forwarding) ? steal(PyObject_CallOneArg(forwarding.forward_ref.get(), text))
                                   : Owned{};
    if (!made || !set_attribute(made.get(), "__owner__", forwarding.owner) ||
        !set_attribute(made.get(), "__forward_is_argument__", Py_False) ||
        !set_attribute(made.get(), "__globals__", forwarding.globals) ||
        (extras != nullptr && !set_attribute(made.get(), "__extra_names__", extras)) ||
        PyList_Append(forwarding.made.get(), made.get()) < 0) {
        return {};
    }
    return made;
}

// `extras` with the names of `more` (a dict) added, as a new dict: those of
// a ForwardRef are its own.
bool add_extras(Owned& extras, PyObject* more) noexcept {
    if (!extras) {
        extras = steal(PyDict_New());
    }
    extras = extras ? steal(PyNumber_Or(extras.get(), more)) : Owned{};
    return static_cast<bool>(extras);
}

Owned text_of(Forwarding& forwarding, PyObject* value, Owned& extras, bool bare = false) noexcept;

// A list's or a tuple's items, in their brackets unless `bare` (a
// subscript's key). Nothing here runs a caller's code, so the sequence
// stays as it is. It and text_of call each other as deep as displays nest
// in the annotation's source, which is two levels at most.
// NOLINTNEXTLINE(misc-no-recursion)
Owned sequence_text(Forwarding& forwarding, PyObject* sequence, Owned& extras, bool bare) noexcept {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    const Owned texts = steal(PyList_New(count));
    for (Py_ssize_t i = 0; texts && i < count; ++i) {
        Owned text = text_of(forwarding, PySequence_Fast_GET_ITEM(sequence, i), extras);
        if (!text) {
            return {};
        }
        PyList_SET_ITEM(texts.get(), i, text.release());
    }
    const Owned separator = texts ? steal(PyUnicode_FromString(", ")) : Owned{};
    const Owned items = separator ? steal(PyUnicode_Join(separator.get(), texts.get())) : Owned{};
    const bool list = PyList_Check(sequence);
    const char* format = list ? "[%U]" : "(%U)";
    if (bare) {
        format = "%U";
    } else if (count == 1 && !list) {
        format = "(%U,)";
    }
    return items ? steal(PyUnicode_FromFormat(format, items.get())) : Owned{};
}

// What stands for `value` in the text of a ForwardRef built on it: a
// ForwardRef's own text (its extra names joining `extras`), the repr of
// None, a str or an int, a list's or a tuple's items, and any other object
// a new extra name bound to it.
// NOLINTNEXTLINE(misc-no-recursion)
Owned text_of(Forwarding& forwarding, PyObject* value, Owned& extras, bool bare) noexcept {
    if (is_forward(forwarding, value)) {
        const Owned held = attribute(value, "__extra_names__");
        if (!held || (held.get() != Py_None && !add_extras(extras, held.get()))) {
            return {};
        }
        return attribute(value, "__arg__");
    }
    if (value == Py_None || PyUnicode_CheckExact(value) || PyLong_Check(value)) {
        return steal(PyObject_Repr(value));
    }
    if (PyList_CheckExact(value) || PyTuple_Check(value)) {
        return sequence_text(forwarding, value, extras, bare);
    }
    Owned name = steal(
        PyUnicode_FromFormat("__annotationlib_name_%ld__", ++forwarding.extra_names));
    if (name && !extras) {
        extras = steal(PyDict_New());
    }
    if (!name || !extras || PyDict_SetItem(extras.get(), name.get(), value) < 0) {
        return {};
    }
    return name;
}

}  // namespace

bool is_forward(const Forwarding& forwarding, PyObject* value) noexcept {
    for (Py_ssize_t i = 0; forwarding.made && i < PyList_GET_SIZE(forwarding.made.get()); ++i) {
        if (PyList_GET_ITEM(forwarding.made.get(), i) == value) {
            return true;
        }
    }
    return false;
}

Owned forward_name(Forwarding& forwarding, PyObject* name) noexcept {
    return make_forward(forwarding, name, nullptr);
}

namespace {

Owned combine(Forwarding& forwarding, const char* format, PyObject* left, PyObject* right,
              bool bare_right) noexcept {
    Owned extras;
    const Owned left_text = text_of(forwarding, left, extras);
    const Owned right_text = left_text ? text_of(forwarding, right, extras, bare_right) : Owned{};
    const Owned text = right_text
                           ? steal(PyUnicode_FromFormat(format, left_text.get(), right_text.get()))
                           : Owned{};
    return text ? make_forward(forwarding, text.get(), extras.get()) : Owned{};
}

}  // namespace

Owned forward_subscript(Forwarding& forwarding, PyObject* origin, PyObject* key) noexcept {
    return combine(forwarding, "%U[%U]", origin, key, true);
}

Owned forward_union(Forwarding& forwarding, PyObject* left, PyObject* right) noexcept {
    return combine(forwarding, "%U | %U", left, right, false);
}

}  // namespace vx
