// The byte code this build was made for. The instructions of
// PyCode_NewEmpty's body (empty_body.*) and the line table format
// (line_table.*) belong to the interpreter's byte code, which CPython keeps
// for a whole release series and names by its magic number, the one that
// .pyc files carry. The build reads the number from the headers it is made
// with; the import compares it with the running interpreter's, which costs
// next to nothing, where checking the layouts themselves would make code
// objects and page in interpreter code that an import otherwise never
// runs. The layouts are checked as well when `__code__` is first made
// (function/code.cpp), and by the tests on each CPython.
#pragma once

#include <Python.h>

namespace vx::cpython {

// True when the running interpreter's byte code is the build's; false with
// ImportError set, naming the CPython, when not.
bool bytecode_is_the_builds() noexcept;

// The same, for the magic number `running` (PyImport_GetMagicNumber's).
bool bytecode_is_the_builds(long running) noexcept;

}  // namespace vx::cpython
