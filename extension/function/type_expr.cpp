#include "type_expr.hpp"

#include "../core/state.hpp"
#include "forward_ref.hpp"

namespace vx::type_expr_detail {

Owned lookup(const Scope& scope, const Constant& name) noexcept {
    PyObject* key = scope.state[name];
    Owned value = lookup_global(scope, key);
    if (!value && scope.forwarding != nullptr && PyErr_ExceptionMatches(PyExc_NameError)) {
        PyErr_Clear();
        return forward_name(*scope.forwarding, key);
    }
    return value;
}

Owned subscript(const Scope& scope, Owned origin, Owned key) noexcept {
    if (!origin || !key) {
        return {};
    }
    if (scope.forwarding != nullptr && is_forward(*scope.forwarding, origin.get())) {
        return forward_subscript(*scope.forwarding, origin.get(), key.get());
    }
    return steal(PyObject_GetItem(origin.get(), key.get()));
}

namespace {
// The fresh tuple is ours, so the macro does; PyTuple_SetItem's checks would
// also page in interpreter code that nothing else runs at import.
int set_tuple_item(PyObject* tuple, Py_ssize_t index, PyObject* item) noexcept {
    PyTuple_SET_ITEM(tuple, index, item);
    return 0;
}

// The items are all made (type_expr.hpp's make_items).
template <PyObject* (*New)(Py_ssize_t), int (*SetItem)(PyObject*, Py_ssize_t, PyObject*)>
Owned pack(Owned* items, std::size_t count) noexcept {
    Owned packed = steal(New(static_cast<Py_ssize_t>(count)));
    if (!packed) {
        return {};
    }
    for (std::size_t i = 0; i < count; ++i) {
        SetItem(packed.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return packed;
}
}  // namespace

Owned pack_tuple(Owned* items, std::size_t count) noexcept {
    return pack<PyTuple_New, set_tuple_item>(items, count);
}

Owned pack_list(Owned* items, std::size_t count) noexcept {
    return pack<PyList_New, PyList_SetItem>(items, count);
}

// A ForwardRef on either side makes one, as annotationlib's stand-ins do:
// the classes and aliases on the other side leave `|` to them.
Owned union_of(const Scope& scope, Owned left, Owned right) noexcept {
    if (!left || !right) {
        return {};
    }
    if (scope.forwarding != nullptr &&
        (is_forward(*scope.forwarding, left.get()) || is_forward(*scope.forwarding, right.get()))) {
        return forward_union(*scope.forwarding, left.get(), right.get());
    }
    return steal(PyNumber_Or(left.get(), right.get()));
}

}  // namespace vx::type_expr_detail
