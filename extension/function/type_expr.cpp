#include "type_expr.hpp"

#include "../core/state.hpp"

namespace vx::type_expr_detail {

Owned lookup(const Scope& scope, const Constant& name) noexcept {
    return lookup_global(scope, scope.state[name]);
}

Owned subscript(Owned origin, Owned key) noexcept {
    if (!origin || !key) {
        return {};
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

Owned union_of(Owned left, Owned right) noexcept {
    if (!left || !right) {
        return {};
    }
    return steal(PyNumber_Or(left.get(), right.get()));
}

}  // namespace vx::type_expr_detail
