#include "lazy_import.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include "names.hpp"
#include "state.hpp"

namespace vx {

namespace {
const Text resolve_method{"resolve"};
}  // namespace

Owned resolve_global(const State& state, PyObject* globals, PyObject* name,
                     Owned placeholder) noexcept {
    Owned value = steal(PyObject_CallMethodNoArgs(placeholder.get(), state[resolve_method]));
    Owned bound;
    if (!value || PyDict_GetItemRef(globals, name, bound.out()) < 0) {
        return {};
    }
    if (bound.get() == placeholder.get() && PyDict_SetItem(globals, name, value.get()) < 0) {
        return {};
    }
    return value;
}

}  // namespace vx

#endif
