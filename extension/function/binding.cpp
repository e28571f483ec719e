// Matching a call's arguments to a function's parameters, in the order the
// interpreter does it for Python functions, and refusing a call that does
// not fit with the interpreter's own TypeError messages.
#include "../core/names.hpp"
#include "function_object.hpp"
#include "suggestions.hpp"

namespace vx {

namespace {

const Text list_separator{", "};

// Index of the parameter named `keyword` among the first `count`, -1 when
// there is none, -2 on error. Identity first, as interned names usually
// match that way, then equality.
Py_ssize_t find_parameter(PyObject* varnames, Py_ssize_t count, PyObject* keyword) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(varnames, i) == keyword) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int equal = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(varnames, i), Py_EQ);
        if (equal != 0) {
            return equal > 0 ? i : -2;
        }
    }
    return -1;
}

void unexpected_keyword(FunctionObject* function, PyObject* keyword) noexcept {
    const Py_ssize_t count = positional_count(*function->spec);
    // A suggestion is a courtesy: failing to make one must not hide the
    // real error.
    const Owned suggestion = suggest_name(function->varnames, count, keyword);
    PyErr_Clear();
    // Held: formatting the keyword may run a str subclass's code, which may
    // rename the function.
    const Owned qualname = add_ref(function->qualname);
    if (suggestion) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     qualname.get(), keyword, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                     qualname.get(), keyword);
    }
}

void too_many_positional(FunctionObject* function, Py_ssize_t given) noexcept {
    const Py_ssize_t count = positional_count(*function->spec);
    const Py_ssize_t defaults = function->defaults != nullptr ? PyTuple_GET_SIZE(function->defaults)
                                                              : 0;
    const Owned expected = defaults != 0 ? steal(PyUnicode_FromFormat("from %zd to %zd",
                                                                      count - defaults, count))
                                         : steal(PyUnicode_FromFormat("%zd", count));
    if (!expected) {
        return;
    }
    const bool plural = defaults != 0 || count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 function->qualname, expected.get(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists them.
void missing_arguments(FunctionObject* function, PyObject* const* bound,
                       Py_ssize_t count) noexcept {
    const Owned names = steal(PyList_New(0));
    if (!names) {
        return;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bound[i] == nullptr) {
            const Owned quoted = steal(PyObject_Repr(PyTuple_GET_ITEM(function->varnames, i)));
            if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) {
                return;
            }
        }
    }
    const Py_ssize_t missing = PyList_GET_SIZE(names.get());
    Owned listed;
    if (missing == 1) {
        listed = add_ref(PyList_GET_ITEM(names.get(), 0));
    } else {
        const Owned last = steal(PyUnicode_FromFormat(missing == 2 ? "%U and %U" : "%U, and %U",
                                                      PyList_GET_ITEM(names.get(), missing - 2),
                                                      PyList_GET_ITEM(names.get(), missing - 1)));
        if (!last || PyList_SetSlice(names.get(), missing - 2, missing, nullptr) < 0 ||
            PyList_Append(names.get(), last.get()) < 0) {
            return;
        }
        listed = steal(PyUnicode_Join((*function->state)[list_separator], names.get()));
    }
    if (!listed) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 function->qualname, missing, missing == 1 ? "" : "s", listed.get());
}

}  // namespace

bool bind_arguments(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound, std::span<PyObject* const>& rest,
                    Owned& defaults) noexcept {
    const FunctionSpec& spec = *function->spec;
    const Py_ssize_t count = positional_count(spec);

    for (Py_ssize_t i = 0; i < count; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    if (spec.varargs && nargs > count) {
        rest = {args + count, static_cast<std::size_t>(nargs - count)};
    }

    const Py_ssize_t nkeywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkeywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = find_parameter(function->varnames, count, keyword);
        if (index == -2) {
            return false;
        }
        if (index == -1) {
            unexpected_keyword(function, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         function->qualname, keyword);
            return false;
        }
        bound[index] = args[nargs + k];
    }

    if (nargs > count && !spec.varargs) {
        too_many_positional(function, nargs);
        return false;
    }

    // Defaults fill the trailing parameters left unbound. Comparing keywords
    // above may have run a caller's code, so the tuple is read only now.
    defaults = add_ref(function->defaults);
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    bool complete = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        const Py_ssize_t default_index = i - (count - ndefaults);
        if (default_index >= 0) {
            bound[i] = PyTuple_GET_ITEM(defaults.get(), default_index);
        } else {
            complete = false;
        }
    }
    if (!complete) {
        missing_arguments(function, bound, count);
        return false;
    }
    return true;
}

}  // namespace vx
