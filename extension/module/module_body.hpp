// A module body run from its statement table (statements.hpp), a statement
// at a time, as the interpreter runs a Python module's: a statement that
// fails leaves its exception set and ends the body, and the statements
// after it do nothing.
#pragma once

#include <cstddef>
#include <span>

#include "import_statements.hpp"
#include "statements.hpp"

namespace vx {

class State;

class ModuleBody {
public:
    // The body of `module`, whose names, functions and classes are made in
    // the interpreter whose state is `state`, from the module's `code`.
    ModuleBody(State& state, PyObject* module, const ModuleCode& code) noexcept;

    // Runs every statement; false, with the exception set, when one failed.
    bool run() noexcept;

private:
    bool run(const Statement& statement) noexcept;
    bool import_module(const Statement& statement) noexcept;
    bool from_import(const Statement& statement) noexcept;
    bool define_class(const Statement& statement) noexcept;
    bool define_function(const Statement& statement) noexcept;
    bool assign_call(const Statement& statement) noexcept;
    bool assign_list(const Statement& statement) noexcept;
    // <target> = value, where a failed statement has left no value.
    bool bind(std::string_view target, Owned value) noexcept;

    State& state_;
    PyObject* globals_;  // borrowed: the module's namespace
    const ModuleCode& code_;
    // The next function and class of the text: the table defines them in
    // the text's order, which the build has checked.
    std::size_t next_function_ = 0;
    std::size_t next_class_ = 0;
    ImportStatements imports_;
};

}  // namespace vx
