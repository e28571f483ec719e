// The statements a module body is made of, so that each module of the
// package reads like its source would, a statement a line:
//
//     body.import_module("subprocess");
//     body.define(vorlix_exception);
//     body.define(runner);
//
// A statement that fails leaves its exception set and ends the body, as a
// raising statement ends a Python module's: the statements after it do
// nothing, and finish() says the body failed.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "../function/function_spec.hpp"
#include "class_builder.hpp"
#include "import_statements.hpp"

namespace vx {

class State;

class ModuleBody {
public:
    // The body of `module`, whose names, functions and classes are made in
    // the interpreter whose state is `state`.
    ModuleBody(State& state, PyObject* module) noexcept;

    PyObject* module() const noexcept { return module_; }
    PyObject* globals() const noexcept { return globals_; }

    // import <name>
    void import_module(const char* name) noexcept;
    // from <module> import <name> [as <alias>]; leading dots make it relative.
    void from_import(const char* module, const char* name, const char* alias = nullptr) noexcept;
    // class <spec.name>: ...
    void define(const ClassSpec& spec) noexcept;
    // def <spec.name>(...): ...
    void define(const FunctionSpec& spec) noexcept;
    // <name> = <callable>()
    void call(const char* name, const char* callable) noexcept;
    // <name> = ["<item>", ...], a new list each time the body runs
    void bind_list(const char* name, std::span<const char* const> items) noexcept;
    // After the last statement: runs what is still held back; false, with
    // the exception set, when a statement failed.
    bool finish() noexcept;

private:
    // The interned str of a name that the statements spell. The package
    // body spells each of its public names three times (imported, bound,
    // listed in __all__) and the modules' names twice or more: finding one
    // made already costs less than interning it again.
    Owned interned(std::string_view text) noexcept;
    // <name> = value, where a failed statement has left no value.
    void bind(const char* name, Owned value) noexcept;
    // Runs the import statements held back; false when they failed.
    bool run_held_imports() noexcept;
    // Whether the body still runs: no statement has failed.
    bool runs() const noexcept { return !failed_; }
    // Records the outcome of a statement.
    void done(bool succeeded) noexcept { failed_ = !succeeded; }

    State& state_;
    PyObject* module_;   // borrowed: the module being executed
    PyObject* globals_;  // borrowed: its namespace
    bool failed_ = false;
    struct Named {
        std::string_view text;
        Owned name;
    };
    Named named_[16];
    std::size_t named_count_ = 0;
#if PY_VERSION_HEX >= 0x030F0000
    // In lazy imports mode, the import statements are held back and run
    // together, compiled, before the next statement of another kind.
    ImportStatements imports_;
#endif
};

}  // namespace vx
