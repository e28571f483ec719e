// The statements a module body is made of, so that each module of the
// package reads like its source would:
//
//     return body.import_module("subprocess")
//         && body.define(vorlix_exception)
//         && body.define(runner);
//
// Every step returns false with the exception set, which ends the body.
#pragma once

#include "class_builder.hpp"
#include "function_spec.hpp"
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
    bool import_module(const char* name) noexcept;
    // from <module> import <name> [as <alias>]; leading dots make it relative.
    bool from_import(const char* module, const char* name, const char* alias = nullptr) noexcept;
    // class <spec.name>: ...
    bool define(const ClassSpec& spec) noexcept;
    // def <spec.name>(...): ...
    bool define(const FunctionSpec& spec) noexcept;
    // <name> = <callable>()
    bool call(const char* name, const char* callable) noexcept;
    // <name> = value
    bool bind(const char* name, Owned value) noexcept;
    // After the last statement: runs what is still held back.
    bool finish() noexcept;

private:
    State& state_;
    PyObject* module_;   // borrowed: the module being executed
    PyObject* globals_;  // borrowed: its namespace
#if PY_VERSION_HEX >= 0x030F0000
    // In lazy imports mode, the import statements are held back and run
    // together, compiled, before the next statement of another kind.
    ImportStatements imports_;
#endif
};

}  // namespace vx
