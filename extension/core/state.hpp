// Everything the package makes for one interpreter, in one place: what
// exists, when it is made and when it is forgotten.
//
// Made by the first run of the package body in an interpreter (the main one
// or any subinterpreter, each for itself), kept in that interpreter's own
// dictionary, and let go when the interpreter is finalised and clears that
// dictionary. The state lives in a Python object that the garbage collector
// traverses and clears, as CPython's own modules keep theirs: every function
// holds the state it was made with by a strong reference that its traverse
// visits, so one that outlives its module (kept alive by a cycle, or called
// from a finaliser while the interpreter shuts down) never finds it gone,
// and a cycle through the state is collected like any other. Nothing here
// is shared between interpreters or kept past the interpreter's end, so an
// interpreter finalised and started again in the same process starts
// clean.
//
// The state only keeps what the rest makes: the entry point (entry.cpp)
// sets each part up in turn, and each part fills its own fields below.
// Every reference here is owned, and released when the state is freed.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module_table.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace vx {

class State {
public:
    // The running interpreter's state; null, without an exception, before
    // the package body has run in it, and once the collector has cleared
    // it: a program can take the state out of the interpreter's dictionary
    // and drop the package, and whatever still reads it then answers as
    // before the first import.
    static State* current() noexcept;

    // Fills the parts of a new state; false with an exception set.
    using SetUp = bool (*)(State&) noexcept;
    // The running interpreter's state, made now if it has none: its names
    // first, then `set_up` fills the rest. Null with an exception set when
    // making it failed, and then no state is kept.
    static State* get_or_make(SetUp set_up) noexcept;

    // True once the collector has cleared the state (see current()).
    bool cleared() const noexcept { return cleared_; }

    // A constant's value in this interpreter (borrowed).
    PyObject* operator[](const Constant& constant) const noexcept {
        return constants_[constant.slot()];
    }
    // Every constant's value, by slot; as long-lived as the state.
    PyObject* const* constants() const noexcept { return constants_; }

    // The object the state lives in, which functions hold (borrowed).
    PyObject* object() const noexcept { return object_; }

    // The interpreter the state belongs to: its objects are only ever used
    // there.
    PyInterpreterState* const interpreter;

    // The modules the shared object serves (module_table.hpp), as its entry
    // point handed them over.
    ModuleTable modules;
    // The row of the package itself.
    const ModuleRow& package_row() const noexcept { return modules.front(); }

    // The function-like type (function.hpp), made with the first function;
    // null until then.
    Owned function_type;

    // Where the shared object was loaded from (module_frame.hpp).
    Owned package_dir;  // D + "/" + the package's name
    Owned file_suffix;  // e.g. ".cpython-314-x86_64-linux-gnu.so"

    // The package's part in the import system (import_system.hpp).
    Owned module_spec;  // importlib's ModuleSpec class
    Owned finder;       // the package's own, for sys.meta_path and sys.path_hooks
    Owned loaders;      // a tuple: one loader per row of the module table
    // The names the package was imported under (a list of str), which the
    // finder serves the module table below: "vorlix", or "outer.vorlix" for
    // a copy vendored under another package.
    Owned package_names;
    // The path-entry finder type of the package directory, made when the
    // path hook first accepts it (directory_finder.cpp), then kept.
    Owned directory_finder_type;
    // The type of the package directory that importlib.resources reads,
    // made when it is first asked for (resources.cpp), then kept.
    Owned resource_type;

    // The class that every `__code__` of this interpreter raises
    // (code.cpp): made on the first read, null until then.
    Owned native_body;

    State(const State&) = delete;
    State& operator=(const State&) = delete;
    State(State&&) = delete;
    State& operator=(State&&) = delete;

private:
    friend struct StateObject;
    State(PyInterpreterState* owner, PyObject* object) noexcept
        : interpreter(owner), object_(object) {}
    ~State();

    bool make_constants() noexcept;
    // For the collector: every reference the state holds, and letting go
    // of those that can lead back to it.
    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;

    PyObject* const object_;
    // Set by clear(): the parts are gone, and the state serves nothing.
    bool cleared_ = false;

    // The constants' values, in a tuple that owns them; `constants_` points
    // at its items, which every call reads.
    Owned constant_values_;
    PyObject* const* constants_ = nullptr;
};

}  // namespace vx
