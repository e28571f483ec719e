#include "bytecode_magic.hpp"

#include "refusal.hpp"

#ifndef VORLIX_PYC_MAGIC_NUMBER
#error "the build names the byte code's magic number of the CPython it is made for"
#endif

namespace vx::cpython {

namespace {
// As PyImport_GetMagicNumber gives it: the number's two bytes, then "\r\n",
// read as a little-endian integer.
constexpr long built_magic = VORLIX_PYC_MAGIC_NUMBER | (long{'\r'} << 16) | (long{'\n'} << 24);
}  // namespace

bool bytecode_is_the_builds(long running) noexcept {
    if (running == built_magic) {
        return true;
    }
    char what[160];
    PyOS_snprintf(what, sizeof what, "its byte code is not the one this build of %s was made for",
                  refused_package());
    return refuse(what);
}

bool bytecode_is_the_builds() noexcept {
    const long running = PyImport_GetMagicNumber();
    if (running == -1 && PyErr_Occurred()) {
        return false;
    }
    return bytecode_is_the_builds(running);
}

}  // namespace vx::cpython
