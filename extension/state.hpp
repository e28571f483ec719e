// Everything the package makes for one interpreter, in one place: what
// exists, when it is made and when it is forgotten.
//
// Made by the first run of the package body in an interpreter (the main one
// or any subinterpreter, each for itself), kept in that interpreter's own
// dictionary, and forgotten when the interpreter is finalised and clears
// that dictionary. Functions hold the state they were made with, so one
// that outlives its module (kept alive by a cycle, or called from a
// finaliser while the interpreter shuts down) never finds it gone. Nothing
// here is shared between interpreters or kept past the interpreter's end,
// so an interpreter finalised and started again in the same process starts
// clean.
#pragma once

#include <Python.h>

#include "module_table.hpp"
#include "monitoring.hpp"
#include "text.hpp"

namespace vx {

class State {
public:
    // The running interpreter's state; null, without an exception, before
    // the package body has run in it.
    static State* current() noexcept;
    // The running interpreter's state, made now if it has none; null with
    // an exception set when making it failed.
    static State* get_or_make() noexcept;

    // A constant's value in this interpreter (borrowed).
    PyObject* value(const Constant& constant) const noexcept { return constants_[constant.slot()]; }
    // Every constant's value, by slot; as long-lived as the state.
    PyObject* const* constants() const noexcept { return constants_; }

    // Every function holds the state it was made with until it is freed.
    void hold() noexcept { ++holders_; }
    void release() noexcept;

    // Made with the state and released with it (strong references).
    PyTypeObject* function_type = nullptr;
    PyObject* module_spec = nullptr;  // importlib's ModuleSpec class
    PyObject* finder = nullptr;       // the package's own, for sys.meta_path
    // The names the package was imported under (a list of str), which the
    // finder serves the module table below: "vorlix", or "outer.vorlix" for
    // a copy vendored under another package.
    PyObject* package_names = nullptr;
    // The path-entry finder type of the package directory, made when the
    // path hook first accepts it (directory_finder.hpp), then kept.
    PyObject* directory_finder_type = nullptr;
    // The type of the package directory that importlib.resources reads,
    // made when it is first asked for (resources.hpp), then kept.
    PyObject* resource_type = nullptr;
    PyObject* loaders[module_count] = {};  // one per row of the module table
    PyObject* package_dir = nullptr;  // D + "/vorlix"
    PyObject* file_suffix = nullptr;  // e.g. ".cpython-314-x86_64-linux-gnu.so"
    // The body that every `__code__` of this interpreter copies (code.cpp):
    // made on the first read, null until then.
    PyObject* code_body = nullptr;
    // Which monitoring tools listen (monitoring.hpp).
    Monitoring monitoring;

    // The interpreter the state belongs to: its objects are only ever used
    // there.
    PyInterpreterState* interpreter = nullptr;

private:
    State() noexcept = default;
    bool make_constants() noexcept;
    void destroy() noexcept;
    static void forget(PyObject* token) noexcept;

    PyObject** constants_ = nullptr;  // one per Constant, by slot
    Py_ssize_t holders_ = 1;          // the interpreter's own, then functions
};

}  // namespace vx
