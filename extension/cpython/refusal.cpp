#include "refusal.hpp"

#include <atomic>

namespace vx::cpython {

namespace {
// Written by every interpreter's import, always with the same name.
constinit std::atomic<const char*> package_refused{nullptr};
}  // namespace

void refuse_for(const char* package) noexcept {
    package_refused.store(package, std::memory_order_relaxed);
}

const char* refused_package() noexcept { return package_refused.load(std::memory_order_relaxed); }

bool refuse(const char* what) noexcept {
    // Py_Version is the running interpreter's, not the headers'.
    PyErr_Format(PyExc_ImportError, "%s cannot run on CPython %lu.%lu.%lu: %s", refused_package(),
                 (Py_Version >> 24) & 0xFF, (Py_Version >> 16) & 0xFF, (Py_Version >> 8) & 0xFF,
                 what);
    return false;
}

}  // namespace vx::cpython
