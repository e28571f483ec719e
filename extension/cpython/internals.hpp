// What the runtime assumes of CPython beyond its documented C API, gathered
// here so that supporting the next CPython starts in one place. Each
// assumption stands behind a version gate and is checked once, as the
// package is first imported in the process (check_internals), or where it
// is used, which is always within an import: a CPython that no longer fits
// refuses the import with an ImportError that names it, rather than
// failing at call time or going on silently. The few that only a running
// program can show (what a tool hears, what the recursion limit counts)
// are held against a Python function's behaviour by the tests.
//
// In this folder:
// - bytecode_magic.*: the magic number of the byte code the build compiled
//   the modules' Python text to (core/built_code.hpp), which the code
//   objects assembled from it at run time need. Checked at import.
// - lazy_import_type.* (3.15): the lazy imports' placeholder type, which
//   only an internal header declares (PyLazyImport_Type): exported, static
//   and named "lazy_import". Checked at import.
// - heap_type.*: a heap type's tp_name written after it is made, and a key
//   deleted from its dict (the function type: named as Python's function
//   type is, without the `__vectorcalloffset__` member its spec needs).
//   The public way, `__name__` set and the type frozen after, raises audit
//   events at import that a Python function's type never does. Checked
//   where the type is made.
// - monitoring_version.*: the interpreter's monitoring version, kept above
//   the eight flag bits of each thread's eval breaker, a step of 1 << 8 a
//   change and two a restart (changed between 3.12 and 3.13); read inline
//   by every call. Confirmed against PyMonitoring_EnterScope whenever a
//   call refreshes its state through it; every later call asks that
//   function should they ever differ.
// - python_frames.hpp: the thread state's `py_recursion_remaining` and
//   `recursion_headroom`, which Python frames count against the recursion
//   limit; every call of a package function counts one there. The tests
//   compare the count with a Python function's.
// - traceback_line.hpp: a traceback entry's `tb_lineno` and its frame's
//   `f_lineno`, written when a package function adds its entry, since the
//   frame PyFrame_New makes stands where CPython 3.15 finds no line once a
//   tool set line events on the code. The frame object's structure is in
//   an internal header only: the offset the frame type publishes for its
//   member `f_trace_lines`, which follows `f_lineno`, is checked at import.
//   The monitoring tests compare the lines with a Python function's.
// - code_monitoring.hpp: a code object's `_co_monitoring` (which tools set
//   events on it alone), read on every call; the thread state's `tracing`
//   (whether a tool's callback runs); the C API's words refusing a DISABLE
//   of a raise or an unwind (3.15); that instrumenting a code object again
//   (which opcode tracing switched on and off in a frame of it does) drops
//   the events of tools cleared or freed since they set them. The
//   monitoring tests hold each against a Python function's behaviour.
//
// Nothing here includes another folder of the runtime: it sits below them
// all, and a test host (tests/hosts/cpython_internals.cpp) builds it alone
// to call each check with input that does not fit.
#pragma once

#include <Python.h>

// A CPython past those the package is built for may change any of the
// above: look at each before widening this.
static_assert(PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000,
              "the CPython internals in extension/cpython/ are known for CPython 3.14 and 3.15");

namespace vx::cpython {

// Checks, once per process, every assumption checked at import; false with
// ImportError set when one does not hold (refusal.hpp).
bool check_internals() noexcept;

}  // namespace vx::cpython
