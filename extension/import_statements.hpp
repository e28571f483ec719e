// A module body's import statements run as the interpreter runs a Python
// module's, for CPython 3.15's lazy imports (PEP 810). When the running
// interpreter makes every module-level import potentially lazy (-X
// lazy_imports=all, PYTHON_LAZY_IMPORTS=all, sys.set_lazy_imports("all")),
// the statements are built as a syntax tree, compiled and run in the
// module's namespace as its globals and locals: the interpreter then decides
// each one as it decides a Python module's (its filter, sys.lazy_modules,
// a target already loaded), binds the placeholders and resolves them on
// first use, in the order a Python module would. In any other mode a body
// imports as before, which is exactly what a Python module does there.
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include <string_view>

namespace vx {

class ImportStatements {
public:
    // Reads the mode: whether the body that starts now compiles its imports.
    ImportStatements() noexcept;

    bool active() const noexcept { return active_; }

    // import <name> (not `from`), or from <dots><module> import <name>
    // [as <alias>], `level` dots
    bool add(bool from, std::string_view module, int level, std::string_view name,
             std::string_view alias) noexcept;
    // Runs the statements held so far, in order, as one compiled module in
    // `globals`; nothing when none are held.
    bool run(PyObject* globals) noexcept;

private:
    bool active_;
    Owned syntax_;      // the syntax tree node classes (the _ast module)
    Owned statements_;  // list of statement nodes not yet run
    // Where the next statement stands, as the modules are laid out: the
    // imports open the module, one a line, with a blank line between the
    // standard library's and the package's own. The compiled code carries
    // these lines, which tracebacks of a failed resolution name.
    int line_ = 1;
    bool after_absolute_ = false;
};

}  // namespace vx

#endif
