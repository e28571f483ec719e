// vorlix._util: the command runner and the package's error type. The
// module's Python text is bench/pyvorlix/_util.py: the build compiles it,
// checks the tables below against it, and gives the runner the first line,
// names and annotate code it has there.
#include "python_text/_util.hpp"
#include "../extension/core/names.hpp"
#include "modules.hpp"

namespace vorlix {

namespace {

using namespace vx;

const Text run{"run"};
const Text returncode{"returncode"};
const Text stdout_{"stdout"};
const Text stderr_{"stderr"};
const Text vorlix_exception{"VorlixException"};
const Text line_end{"\n"};
const Text no_format{""};
// The keyword names of every run.
const Names run_keywords{"text", "check", "capture_output"};
// Where `proc` stands among the runner's locals: after `args`.
constexpr std::size_t proc_local = 1;

// The instance is raised as the `raise` statement would raise it.
PyObject* raise(Owned error) noexcept {
    if (!error) {
        return nullptr;
    }
    if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    } else if (PyExceptionClass_Check(error.get())) {
        PyErr_SetNone(error.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

// f"{proc.stdout}\n{proc.stderr}": each value is converted as soon as it
// is read, as the f-string evaluates its fields left to right.
Owned failure_message(const Call& call, PyObject* proc) noexcept {
    const Owned out = steal(PyObject_GetAttr(proc, call[stdout_]));
    const Owned out_text = out ? steal(PyObject_Format(out.get(), call[no_format])) : Owned{};
    const Owned err = out_text ? steal(PyObject_GetAttr(proc, call[stderr_])) : Owned{};
    const Owned err_text = err ? steal(PyObject_Format(err.get(), call[no_format])) : Owned{};
    if (!err_text) {
        return {};
    }
    const Owned head = steal(PyUnicode_Concat(out_text.get(), call[line_end]));
    return head ? steal(PyUnicode_Concat(head.get(), err_text.get())) : Owned{};
}

// if proc.returncode: raise VorlixException(...); return proc.stdout
PyObject* outcome(const Call& call, PyObject* proc) noexcept {
    const Owned status = steal(PyObject_GetAttr(proc, call[returncode]));
    const int failed = status ? PyObject_IsTrue(status.get()) : -1;
    if (failed < 0) {
        return nullptr;
    }
    if (!failed) {
        return PyObject_GetAttr(proc, call[stdout_]);
    }
    const Owned error_type = call.global(vorlix_exception);
    const Owned message = error_type ? failure_message(call, proc) : Owned{};
    return raise(message ? steal(PyObject_CallOneArg(error_type.get(), message.get())) : Owned{});
}

PyObject* runner(const Call& call) noexcept {
    const Owned module = call.global(subprocess_module);
    const Owned run_function = module ? steal(PyObject_GetAttr(module.get(), call[run])) : Owned{};
    if (!run_function) {
        return nullptr;
    }
    const auto args = call.rest();
    const Owned argv = steal(PyList_New(static_cast<Py_ssize_t>(args.size() + 1)));
    if (!argv) {
        return nullptr;
    }
    PyList_SET_ITEM(argv.get(), 0, Py_NewRef(call[tool_path]));
    for (std::size_t i = 0; i < args.size(); ++i) {
        PyList_SET_ITEM(argv.get(), static_cast<Py_ssize_t>(i + 1), Py_NewRef(args[i]));
    }
    PyObject* run_args[] = {argv.get(), Py_True, Py_False, Py_True};
    const Owned proc = steal(
        PyObject_Vectorcall(run_function.get(), run_args, 1, call[run_keywords]));
    if (!proc) {
        return nullptr;
    }
    PyObject* result = outcome(call, proc.get());
    if (result == nullptr) {
        call.keep_local(proc_local, proc.get());
    }
    return result;
}

constexpr ClassSpec vorlix_exception_class{.name = "VorlixException", .base = Base::exception};

constexpr FunctionSpec runner_function{
    .name = "vorlix",
    .params = {"args"},
    .varargs = true,
    .annotations = {{"args", type<Str>}, {"return", type<Str>}},
    .body = runner,
};

constexpr Statement statements[] = {
    import_module("subprocess"),
    define(vorlix_exception_class),
    define(runner_function),
};
static_assert(python_text::util::agrees<statements>());

}  // namespace

constexpr ModuleCode util_module{statements, python_text::util::module};

}  // namespace vorlix
