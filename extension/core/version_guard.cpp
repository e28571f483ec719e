#include "version_guard.hpp"

namespace vx {

bool runs_on_its_own_cpython(const char* package) noexcept {
    // Py_Version is 0xMMmmPPRS; major and minor decide the ABI.
    constexpr unsigned long built = PY_VERSION_HEX >> 16;
    const unsigned long running = Py_Version >> 16;
    if (running == built) {
        return true;
    }
    const unsigned long major = running >> 8;
    const unsigned long minor = running & 0xFF;
    PyErr_Format(PyExc_ImportError,
                 "%s was built for CPython %d.%d and cannot run in CPython %lu.%lu: "
                 "install the %s wheel for CPython %lu.%lu (cp%lu%lu)",
                 package, PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor, package, major, minor,
                 major, minor);
    return false;
}

}  // namespace vx
