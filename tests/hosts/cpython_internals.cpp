// Calls the checks of extension/cpython/ in an embedded interpreter: each
// with what the running CPython gives, as the package's import does, and
// with input that does not fit, as a CPython laid out otherwise would give.
// One line for each case: its name, a tab, then "ok" or the error raised.
//
// usage: cpython_internals (built with extension/cpython/*.cpp)
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../../extension/cpython/bytecode_magic.hpp"
#include "../../extension/cpython/heap_type.hpp"
#include "../../extension/cpython/internals.hpp"
#include "../../extension/cpython/lazy_import_type.hpp"
#include "../../extension/cpython/monitoring_version.hpp"
#include "../../extension/cpython/traceback_line.hpp"
#include "../../extension/cpython/refusal.hpp"

namespace {

void report(const char* name, bool passed) {
    std::printf("%s\t", name);
    if (passed && !PyErr_Occurred()) {
        std::printf("ok\n");
        return;
    }
    if (!PyErr_Occurred()) {
        std::printf("false without an error\n");
        return;
    }
    PyObject* error = PyErr_GetRaisedException();
    PyObject* text = PyObject_Str(error);
    std::printf("%s: %s\n", Py_TYPE(error)->tp_name, text ? PyUnicode_AsUTF8(text) : "?");
    Py_XDECREF(text);
    Py_DECREF(error);
    PyErr_Clear();
}

// The version read inline is the one PyMonitoring_EnterScope gives.
bool monitoring_version_holds_here() {
    PyMonitoringState state[1] = {};
    const std::uint8_t events[1] = {PY_MONITORING_EVENT_PY_START};
    std::uint64_t version = ~std::uint64_t{0};
    (void)PyMonitoring_EnterScope(state, &version, events, 1);
    (void)PyMonitoring_ExitScope();
    if (!vx::cpython::confirm_monitoring_version(PyThreadState_Get(), version)) {
        PyErr_SetString(PyExc_AssertionError, "the monitoring version read is not EnterScope's");
        return false;
    }
    return true;
}

// A stand-in for the frame type that publishes `f_trace_lines` as `type`
// at `offset`, or no such member.
bool frame_type_fits(int type, Py_ssize_t offset, bool listed = true) {
    PyMemberDef members[] = {
        {"f_trace_lines", type, offset, 0, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyTypeObject stand_in{};
    stand_in.tp_members = listed ? members : members + 1;
    return vx::cpython::frame_layout_fits(&stand_in);
}

// The line written into a frame PyFrame_New made is the one `f_lineno`
// gives; a line already there stays.
bool frame_line_holds_here() {
    auto* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", 3));
    PyObject* globals = PyDict_New();
    auto* frame = code != nullptr && globals != nullptr
                      ? reinterpret_cast<PyObject*>(PyFrame_New(
                            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals,
                            nullptr))
                      : nullptr;
    bool passed = false;
    if (frame != nullptr) {
        vx::cpython::set_frame_line(frame, 41);
        vx::cpython::set_frame_line(frame, 42);
        PyObject* line = PyObject_GetAttrString(frame, "f_lineno");
        passed = line != nullptr && PyLong_AsLong(line) == 41 &&
                 PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame)) == 41;
        Py_XDECREF(line);
        if (!passed && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_AssertionError, "the frame does not give the line written");
        }
    }
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
    return passed;
}

struct Object {
    PyObject_HEAD
    vectorcallfunc call;
};

// A type with a vectorcall offset member, as the function type's spec has,
// or without one.
PyObject* heap_type(bool with_member) {
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Object, call), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_members, with_member ? members : members + 1},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {0, nullptr},
    };
    // Vectorcall needs the member (a debug interpreter asserts so).
    const unsigned int flags = Py_TPFLAGS_DEFAULT | (with_member ? Py_TPFLAGS_HAVE_VECTORCALL : 0);
    PyType_Spec spec = {"host.thing", sizeof(Object), 0, flags, slots};
    return PyType_FromSpec(&spec);
}

bool renamed(bool with_member) {
    PyObject* type = heap_type(with_member);
    PyObject* key = PyUnicode_InternFromString("__vectorcalloffset__");
    bool passed = type != nullptr && key != nullptr &&
                  vx::cpython::rename_and_drop(reinterpret_cast<PyTypeObject*>(type), "function",
                                               key);
    if (passed) {
        // Renamed for its messages; its module and the rest as made.
        PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(type));
        PyObject* module = PyObject_GetAttrString(type, "__module__");
        passed = std::strcmp(reinterpret_cast<PyTypeObject*>(type)->tp_name, "function") == 0 &&
                 PyDict_Contains(dict, key) == 0 && module != nullptr &&
                 PyUnicode_CompareWithASCIIString(module, "host") == 0;
        Py_XDECREF(module);
        Py_XDECREF(dict);
        if (!passed && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_AssertionError, "not renamed as asked");
        }
    }
    Py_XDECREF(key);
    Py_XDECREF(type);
    return passed;
}

}  // namespace

int main() {
    Py_Initialize();
    // As the package's entry point names it.
    vx::cpython::refuse_for("vorlix");
    report("internals", vx::cpython::check_internals());
    report("internals again", vx::cpython::check_internals());

    report("byte code", vx::cpython::bytecode_is_the_builds());
    report("byte code, another",
           vx::cpython::bytecode_is_the_builds(PyImport_GetMagicNumber() + 1));

    {
        using vx::cpython::traceback_line_detail::FrameHead;
        const auto offset = static_cast<Py_ssize_t>(offsetof(FrameHead, f_trace_lines));
        report("frame layout", vx::cpython::frame_layout_fits(&PyFrame_Type));
        report("frame layout, member elsewhere", frame_type_fits(Py_T_BOOL, offset + 8));
        report("frame layout, member of another type", frame_type_fits(Py_T_INT, offset));
        report("frame layout, no such member", frame_type_fits(Py_T_BOOL, offset, false));
        report("frame line", frame_line_holds_here());
    }
    report("monitoring version", monitoring_version_holds_here());

    report("heap type", renamed(true));
    report("heap type, no such member", renamed(false));

#if PY_VERSION_HEX >= 0x030F0000
    PyObject* types = PyImport_ImportModule("types");
    PyObject* lazy = types ? PyObject_GetAttrString(types, "LazyImportType") : nullptr;
    report("lazy import type", lazy != nullptr && vx::cpython::lazy_import_type() ==
                                                      reinterpret_cast<PyTypeObject*>(lazy));
    Py_XDECREF(lazy);
    Py_XDECREF(types);
    report("lazy import type, none", vx::cpython::is_the_lazy_import_type(nullptr));
    report("lazy import type, another", vx::cpython::is_the_lazy_import_type(&PyLong_Type));
#endif
    std::fflush(stdout);
    return Py_FinalizeEx() < 0 ? 1 : 0;
}
