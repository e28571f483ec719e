#include "empty_body.hpp"

#include <opcode.h>

#include "refusal.hpp"

namespace vx::cpython {

namespace {
// From the end: LOAD_COMMON_CONSTANT <AssertionError>, RAISE_VARARGS 1, one
// code unit (opcode, argument) each and no cache in 3.14 and 3.15.
constexpr Py_ssize_t load_at = 4;
constexpr Py_ssize_t raise_at = 2;
}  // namespace

bool empty_body_fits(PyObject* units) noexcept {
    const Py_ssize_t size = PyBytes_GET_SIZE(units);
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(units));
    if (size < load_at || bytes[size - load_at] != LOAD_COMMON_CONSTANT ||
        bytes[size - raise_at] != RAISE_VARARGS) {
        return refuse("PyCode_NewEmpty's code is not as expected");
    }
    return true;
}

PyObject* raising_constant_zero(PyObject* empty) noexcept {
    PyObject* units = PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty));
    // The import found the build's byte code (bytecode_magic.hpp); the
    // layout itself is checked here, where the body is first needed.
    PyObject* patched = units != nullptr && empty_body_fits(units)
                            ? PyBytes_FromStringAndSize(PyBytes_AS_STRING(units),
                                                        PyBytes_GET_SIZE(units))
                            : nullptr;
    Py_XDECREF(units);
    if (patched != nullptr) {
        auto* bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(patched));
        const Py_ssize_t size = PyBytes_GET_SIZE(patched);
        bytes[size - load_at] = LOAD_CONST;
        bytes[size - load_at + 1] = 0;
    }
    return patched;
}

}  // namespace vx::cpython
