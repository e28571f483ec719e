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

// The items are all made (type_expr.hpp's make_items), and the fresh
// tuple or list is ours to fill.
Owned pack_tuple(Owned* items, std::size_t count) noexcept {
    Owned tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; tuple && i < count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

Owned pack_list(Owned* items, std::size_t count) noexcept {
    Owned list = steal(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; list && i < count; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return list;
}

Owned union_of(Owned left, Owned right) noexcept {
    if (!left || !right) {
        return {};
    }
    return steal(PyNumber_Or(left.get(), right.get()));
}

}  // namespace vx::type_expr_detail
