#include "import_statements.hpp"

#include "../core/lookup.hpp"
#include "../core/package.hpp"

namespace vx {

ImportStatements::ImportStatements(const built::Module& text) noexcept : text_(text) {}

bool ImportStatements::hold() noexcept {
    held_ = held_ || active_;
    return active_;
}

bool ImportStatements::run_held(const State& state, PyObject* globals) noexcept {
    if (!held_) {
        return true;
    }
    held_ = false;
    if (next_run_ >= text_.import_runs.size()) {
        PyErr_Format(PyExc_SystemError, "%s: a module holds more imports than its text",
                     served_package().name);
        return false;
    }
    const built::Code& run = text_.codes[text_.import_runs[next_run_++]];
    const Owned file = file_of(state, globals);
    const Owned code = file ? built::code_object(text_, run, file.get()) : Owned{};
    // The namespace as both globals and locals: module level, where the
    // interpreter may make an import lazy.
    const Owned result = code ? steal(PyEval_EvalCode(code.get(), globals, globals)) : Owned{};
    return static_cast<bool>(result);
}

}  // namespace vx
