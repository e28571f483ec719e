// Traceback entries for the package's functions. An exception that leaves
// a Python function carries an entry for its frame, which error reporters
// group by, people read in logs, and debuggers and notebooks open after the
// fact (pdb's post-mortem, IPython, `capture_locals`); an exception leaving
// one of ours gets the same: a frame of the function's own `__code__` and
// globals, so it names the function, its line and its module's `__file__`,
// and holds the call's arguments as its locals, with what else the body
// kept (the runner's `proc`).
//
// Only the error path comes here, and it runs no Python code: the code
// object is made without the compiler, and the frame and its locals with
// the C API. PyFrame_New and PyTraceBack_Here are what the interpreter's
// private _PyTraceback_Add, which its own C modules use, does with public
// calls; the locals go in through the frame's write-through view of them.
#include "function_object.hpp"

#include <frameobject.h>

#include "../core/pending_exception.hpp"
#include "../cpython/traceback_line.hpp"

namespace vx {

namespace {

bool set_local(PyObject* locals, PyObject* varnames, std::size_t index, PyObject* value) noexcept {
    return PyObject_SetItem(locals, PyTuple_GET_ITEM(varnames, static_cast<Py_ssize_t>(index)),
                            value) == 0;
}

// The parameters, the tuple of a *args parameter, then the kept local.
bool fill_locals(PyObject* frame, const FunctionObject* function, const Call& call) noexcept {
    const FunctionSpec& spec = *function->spec;
    const auto count = static_cast<std::size_t>(positional_count(spec));
    const Owned locals = steal(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame)));
    if (!locals) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!set_local(locals.get(), function->varnames, i, call.arg(i))) {
            return false;
        }
    }
    if (spec.varargs) {
        const auto rest = call.rest();
        const Owned args = steal(PyTuple_New(static_cast<Py_ssize_t>(rest.size())));
        if (!args) {
            return false;
        }
        for (std::size_t i = 0; i < rest.size(); ++i) {
            PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), Py_NewRef(rest[i]));
        }
        if (!set_local(locals.get(), function->varnames, count, args.get())) {
            return false;
        }
    }
    std::size_t index = 0;
    PyObject* kept = call.kept_local(index);
    return kept == nullptr || set_local(locals.get(), function->varnames, index, kept);
}

// The frame of the entry, with its locals; null when it could not be made.
Owned entry_frame(FunctionObject* function, const Call& call) noexcept {
    const Owned globals = add_ref(function->globals);
    const Owned code = code_of(function);
    Owned frame = code ? steal(reinterpret_cast<PyObject*>(
                             PyFrame_New(PyThreadState_Get(),
                                         reinterpret_cast<PyCodeObject*>(code.get()), globals.get(),
                                         nullptr)))
                       : Owned{};
    if (frame) {
        fill_locals(frame.get(), function, call);
    }
    return frame;
}

}  // namespace

void add_traceback_entry(FunctionObject* function, const Call& call) noexcept {
    Owned frame;
    {
        // An entry, and its locals, are a courtesy: failing to make them
        // must not hide the error, and the error is the body's, whatever it
        // is (a KeyboardInterrupt too), put back as it was.
        const PendingException error;
        if (!error) {
            return;  // a body that failed without an error: the caller says so
        }
        frame = entry_frame(function, call);
    }
    if (frame) {
        // Fails only without memory, and then the error it leaves is the
        // one the caller sees.
        if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) == 0) {
            cpython::set_frame_line(frame.get(), function->built->code.firstlineno);
            cpython::set_newest_entry_line(function->built->code.firstlineno);
        }
    }
}

}  // namespace vx
