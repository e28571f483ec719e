#include "refusal.hpp"

namespace vx::cpython {

bool refuse(const char* what) noexcept {
    // Py_Version is the running interpreter's, not the headers'.
    PyErr_Format(PyExc_ImportError, "vorlix cannot run on CPython %lu.%lu.%lu: %s",
                 (Py_Version >> 24) & 0xFF, (Py_Version >> 16) & 0xFF, (Py_Version >> 8) & 0xFF,
                 what);
    return false;
}

}  // namespace vx::cpython
