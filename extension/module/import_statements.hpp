// A module body's import statements run as the interpreter runs a Python
// module's, for CPython 3.15's lazy imports (PEP 810). When the running
// interpreter makes every module-level import potentially lazy (-X
// lazy_imports=all, PYTHON_LAZY_IMPORTS=all, sys.set_lazy_imports("all")),
// each run of import statements is held back and run as the module's own
// code: the code the compiler made of those lines of the module's Python
// text when the extension was built, in the module's namespace as its
// globals and locals. The interpreter then decides each import as it
// decides a Python module's (its filter, sys.lazy_modules, a target already
// loaded), binds the placeholders and resolves them on first use, in the
// order a Python module would, and a traceback of a failed resolution names
// the import's own line. In any other mode, and on CPython 3.14, a body
// imports as its table says, which is exactly what a Python module does
// there.
#pragma once

#include <cstddef>

#include "../core/built_code.hpp"

namespace vx {

class State;

class ImportStatements {
public:
    // Reads the mode, for a body that starts now, of the module `text`.
    explicit ImportStatements(const built::Module& text) noexcept;

    // Holds an import statement back, when imports run as the text's code:
    // true when it is held (it is then part of the run that the text
    // compiled).
    bool hold() noexcept;
    // Runs the run held back, if any, in `globals`; false with the
    // exception set when it failed.
    bool run_held(const State& state, PyObject* globals) noexcept;

private:
    const built::Module& text_;
#if PY_VERSION_HEX >= 0x030F0000
    bool active_ = PyImport_GetLazyImportsMode() == PyImport_LAZY_ALL;
#else
    bool active_ = false;
#endif
    bool held_ = false;
    std::size_t next_run_ = 0;
};

}  // namespace vx
