// A module body's import statements run as the interpreter runs a Python
// module's, for CPython 3.15's lazy imports (PEP 810). When the running
// interpreter makes every module-level import potentially lazy (-X
// lazy_imports=all, PYTHON_LAZY_IMPORTS=all, sys.set_lazy_imports("all")),
// the statements are written out as the lines of source they stand for,
// compiled and run in the module's namespace as its globals and locals: the
// interpreter then decides each one as it decides a Python module's (its
// filter, sys.lazy_modules, a target already loaded), binds the
// placeholders and resolves them on first use, in the order a Python module
// would. In any other mode a body imports as before, which is exactly what
// a Python module does there.
#pragma once

#include "../core/ref.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include <cstddef>
#include <string_view>

namespace vx {

class State;

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
    bool run(const State& state, PyObject* globals) noexcept;

private:
    void append(std::string_view text) noexcept;

    bool active_;
    // The statements held, as source text: each at the line where the
    // module's Python shape has it, blank lines before, so that tracebacks
    // of a failed resolution name the line of the import. The imports open
    // the module, one a line, with a blank line between the standard
    // library's and the package's own; a few short lines at most. The text
    // is the key of the code the build compiled for it: import_code.py
    // makes it from the body's statements by the same rule as add().
    char text_[512] = {};
    std::size_t size_ = 0;
    bool overflowed_ = false;
    int text_lines_ = 1;  // the line that the end of the text stands on
    int line_ = 1;        // the line of the next statement
    bool after_absolute_ = false;
};

}  // namespace vx

#endif
