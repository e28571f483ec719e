// Annotations in the FORWARDREF format: what cannot be evaluated yet, a
// name that is not bound, becomes an annotationlib.ForwardRef, and what is
// built on one becomes one too, written as annotationlib writes it when it
// evaluates a compiler-made annotate function with stand-ins for the
// missing names. A real object that such an expression holds gets a name of
// its own, `__annotationlib_name_N__`, bound to it in the ForwardRef's extra
// names. Where no operand stands in for a missing name, the expression is
// evaluated as in the VALUE format (type_expr.hpp); a ForwardRef it holds is
// held there as any object is, as in `dict[str, ForwardRef('App')]`.
#pragma once

#include "../core/ref.hpp"

namespace vx {

// One evaluation of a function's annotations in the FORWARDREF format.
// annotationlib is imported when the first ForwardRef is made.
struct Forwarding {
    PyObject* owner = nullptr;        // the function (borrowed), each ForwardRef's owner
    PyObject* globals = nullptr;      // its globals (borrowed), where a ForwardRef is evaluated
    Owned forward_ref{};    // annotationlib.ForwardRef, once needed
    Owned made{};           // list of the ForwardRefs made so far
    long extra_names = 0;   // given so far
};

// Whether `value` is a ForwardRef that this evaluation made.
bool is_forward(const Forwarding& forwarding, PyObject* value) noexcept;

// A ForwardRef for a name that is not bound.
Owned forward_name(Forwarding& forwarding, PyObject* name) noexcept;

// origin[key] and left | right where an operand is a ForwardRef of this
// evaluation. A tuple key is written without its parentheses, as in
// `x[a, b]`.
Owned forward_subscript(Forwarding& forwarding, PyObject* origin, PyObject* key) noexcept;
Owned forward_union(Forwarding& forwarding, PyObject* left, PyObject* right) noexcept;

}  // namespace vx
