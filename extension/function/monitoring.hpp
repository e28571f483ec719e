// What tools built on sys.monitoring (PEP 669: cProfile, coverage) see of a
// call of one of the package's functions: what they see of a Python
// function's, a start and then a return, or a raise and an unwind when an
// error leaves it, each for the function's own code object, fired through
// the monitoring C API, and by the interpreter's rules:
// - nothing while the calling thread runs a tool's callback (the tool's own
//   calls are not the program's);
// - a call refused for its arguments never starts;
// - a tool that answers DISABLE is not told of that event of that function
//   again until events are restarted, or until it stops listening to the
//   event and listens again; and, since the interpreter's listeners are
//   known here only by a version that moves one step for each change of a
//   tool's events and two for a restart, also after two or more changes of
//   any tool's events between two calls of the function (a tool may be
//   asked once more than the interpreter would ask it, never once less);
// - which tools listen is read again for the call's end, so events switched
//   on during the call apply to it, even when no tool listened as it began;
// - events set locally on the function's `__code__` are honoured, and once
//   they are cleared the function costs what one no tool listens to does;
// - on CPython 3.15 a DISABLE answered to a raise or an unwind is refused by
//   the C API, which drops the tool's callback for that event; the error it
//   raises is not let through: the program's own error goes on, as it does
//   from a Python function, whose DISABLE the interpreter ignores;
// - a callback that raises raises in the function: the error gets the
//   function's traceback entry, then a raise and an unwind.
//
// Only the tools that programs register (ids 0 to 5) are told, and of those
// not the debugger's (id 0): the interpreter serves sys.setprofile and
// sys.settrace through tools of its own (ids 6 and 7), and debuggers read the
// event's frame off the stack; both would take a native function's events
// for its caller's, which has a frame, and profile.py or pdb would stop or
// fail there. Those tools see the calls as they always have: as calls of a
// callable that is not a Python function.
#pragma once

#include <Python.h>

namespace vx {

struct FunctionObject;
class Call;
// A bound call of `function` as tools see a Python function's: its start
// and end around the body, each told to the tools that listen at that
// moment; a tool's callback that fails raises in the function.
PyObject* run_told(FunctionObject* function, const Call& call) noexcept;

// The end of a call that began with no tool to tell, after enter() found
// one listening now: the return of `result`, or the raise and unwind of the
// error set when it is null, told as run_told() tells them.
PyObject* end_told(FunctionObject* function, const Call& call, PyObject* result) noexcept;

}  // namespace vx
