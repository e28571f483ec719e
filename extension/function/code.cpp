// `__code__` of a function-like object: a real code object, the one the
// compiler made of the function's definition in the module's Python text
// when the extension was built, so that its parameters, locals, names,
// flags, instructions and lines are a Python function's: inspect.signature,
// help() and IDEs read the signature from it, inspect.getclosurevars the
// names it reads, and traceback entries and profilers name the function and
// its line by it. The function never runs it: its body is C++. The build
// put a body in front of the compiled one (tools/bytecode/compile_text.py),
// which raises the interpreter's NativeBody, so that a function made from
// the code object (types.FunctionType(f.__code__, {})) raises a TypeError
// that says why it cannot run, and whose first instruction has no line,
// where monitoring events are told.
//
// A Python function's `__code__` is simply there: near the recursion limit,
// from an audit hook or another thread, while the interpreter shuts down.
// So ours is assembled with the C API alone, without the compiler, an
// import or any Python code.
#include "function_object.hpp"

#include "../core/package.hpp"

namespace vx {

namespace {

// The class that the body raises: `raise NativeBody` calls it, and calling
// it raises the TypeError instead of making an instance, which says why a
// function made from the code object cannot run.
PyObject* refuse(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "this function was made from the code object of a %s function, which describes "
                 "its parameters only: the body is native code and does not come with it",
                 served_package().name);
    return nullptr;
}

PyType_Slot refusal_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse)},
    {0, nullptr},
};

PyType_Spec refusal_spec = {
    .name = "NativeBody",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = refusal_slots,
};

// The interpreter's NativeBody, made on the first read and kept. Nothing
// that makes it runs Python code, so no other read can come in between;
// another thread's read, or an allocation's garbage collection running a
// finaliser that reads one, at worst makes a second one, and the first
// kept wins.
PyObject* native_body(State& state) noexcept {
    if (!state.native_body) {
        Owned made = steal(package_type(refusal_spec, PyExc_TypeError));
        if (!made) {
            return nullptr;
        }
        if (!state.native_body) {
            state.native_body = std::move(made);
        }
    }
    return state.native_body.get();
}

// Made in the interpreter the function belongs to, whose state it holds;
// a function handed to another interpreter by address (which CPython does
// not support) gets a clear error there instead of objects that cross.
Owned make_code(const FunctionObject* function) noexcept {
    State& state = *function->state;
    if (PyInterpreterState_Get() != state.interpreter) {
        const std::string_view name = function->spec->name;
        const char* package = served_package().name;
        PyErr_Format(PyExc_RuntimeError,
                     "%s: the function %.*s belongs to another interpreter; %s objects cannot be "
                     "shared between interpreters",
                     package, static_cast<int>(name.size()), name.data(), package);
        return {};
    }
    PyObject* raised = native_body(state);
    return raised != nullptr ? built::code_object(*function->text, function->built->code,
                                                  function->defined_file, raised)
                             : Owned{};
}

}  // namespace

Owned code_of(FunctionObject* function) noexcept {
    if (function->code == nullptr) {
        Owned made = make_code(function);
        if (!made) {
            return {};
        }
        // A finaliser run by an allocation above may have made one first.
        if (function->code == nullptr) {
            function->code = made.release();
        }
    }
    return add_ref(function->code);
}

}  // namespace vx
