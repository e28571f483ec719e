#include "import_statements.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include "lookup.hpp"
#include "names.hpp"
#include "state.hpp"

namespace vx {

ImportStatements::ImportStatements() noexcept
    : active_(PyImport_GetLazyImportsMode() == PyImport_LAZY_ALL) {}

void ImportStatements::append(std::string_view text) noexcept {
    for (const char c : text) {
        if (size_ + 1 >= sizeof text_) {
            overflowed_ = true;
            return;
        }
        text_[size_++] = c;
    }
}

bool ImportStatements::add(bool from, std::string_view module, int level, std::string_view name,
                           std::string_view alias) noexcept {
    if (level > 0 && after_absolute_) {
        ++line_;
    }
    after_absolute_ = level == 0;
    for (; text_lines_ < line_; ++text_lines_) {
        append("\n");
    }
    if (from) {
        append("from ");
        for (int dot = 0; dot < level; ++dot) {
            append(".");
        }
        append(module);
        append(" import ");
    } else {
        append("import ");
    }
    append(name);
    if (!alias.empty()) {
        append(" as ");
        append(alias);
    }
    append("\n");
    ++text_lines_;
    ++line_;
    if (overflowed_) {
        PyErr_SetString(PyExc_SystemError, "vorlix: a module's import statements are too long");
        return false;
    }
    return true;
}

bool ImportStatements::run(const State& state, PyObject* globals) noexcept {
    if (size_ == 0) {
        return true;
    }
    text_[size_] = '\0';
    size_ = 0;
    text_lines_ = 1;
    const Owned file = file_of(state, globals);
    // No flags of the caller's own, as compile(..., dont_inherit=True).
    const Owned code = file ? steal(Py_CompileStringObject(text_, file.get(), Py_file_input,
                                                           nullptr, -1))
                            : Owned{};
    // The namespace as both globals and locals: module level, where the
    // interpreter may make an import lazy.
    const Owned result = code ? steal(PyEval_EvalCode(code.get(), globals, globals)) : Owned{};
    return static_cast<bool>(result);
}

}  // namespace vx

#endif
