// The "Did you mean" candidate that the interpreter offers for a keyword
// argument that no parameter takes: the parameter name nearest to it by an
// edit distance that counts a case change as half an edit, within a third
// of the characters involved. The interpreter computes it in C without any
// module; so does this, so that a wrong call imports nothing.
#pragma once

#include "../core/ref.hpp"

namespace vx {

// The candidate among the str items of `names` (a tuple) for `keyword`;
// null without an error when there is none, null with an error set when
// reading a name failed.
Owned suggest_name(PyObject* names, Py_ssize_t count, PyObject* keyword) noexcept;

}  // namespace vx
