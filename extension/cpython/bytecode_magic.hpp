// The byte code this build was made for. The code objects that the run
// time assembles (core/built_code.hpp) hold the byte code that the build's
// compiler made, which CPython keeps for a whole release series and names
// by its magic number, the one that .pyc files carry. The build reads the
// number from the headers it is made with (and holds the compiler's to
// it); the import compares it with the running interpreter's.
#pragma once

#include <Python.h>

namespace vx::cpython {

// True when the running interpreter's byte code is the build's; false with
// ImportError set, naming the CPython, when not.
bool bytecode_is_the_builds() noexcept;

// The same, for the magic number `running` (PyImport_GetMagicNumber's).
bool bytecode_is_the_builds(long running) noexcept;

}  // namespace vx::cpython
