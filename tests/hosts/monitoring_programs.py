"""Small programs that act on sys.monitoring events while they call the
package: tools that call back into it, answer DISABLE, switch events during
a call, watch one function, or raise. `observe(package, name)` runs one
with a recording tool and returns, as JSON-able lists, each event the tool
heard of the package's own functions and how each call ended. A Python
package and the built one must give the same answers."""

import cProfile
import io
import pdb
import pstats
import sys
import tempfile
import traceback
import types
import warnings
from pathlib import Path


M = sys.monitoring
E = M.events
TOOL, OTHER = 3, 4
HEARD = ("PY_START", "PY_RETURN", "RAISE", "PY_UNWIND")
ALL = E.PY_START | E.PY_RETURN | E.RAISE | E.PY_UNWIND


def is_packaged(code):
    where = Path(code.co_filename)
    return where.parent.name in ("vorlix", "pyvorlix") and where.name.split(".")[0] in (
        "_app", "_util", "_launcher")


def fake_tool(package, returncode=0, during=None):
    def run(*args, **kwargs):
        if during:
            during()
        return types.SimpleNamespace(returncode=returncode, stdout="mail\n", stderr="")
    package._util.subprocess = types.SimpleNamespace(run=run)


def ended(action):
    """How a call ended: its exception, message and traceback entries."""
    try:
        action()
    except Exception as e:  # noqa: BLE001 - the answer is the exception
        return [type(e).__name__, str(e), [f.name for f in traceback.extract_tb(e.__traceback__)][1:]]
    return "returned"


def raising_on(name):
    def answer(package, code):
        if code.co_name == "start":
            raise RuntimeError(f"tool failed at {name}")
    return answer


def start_then(package, tool_call):
    """Two starts, the tool's call, a start."""
    fake_tool(package)
    start = lambda: ended(lambda: package.App("mail").start())  # noqa: E731
    return [start(), start(), tool_call(), start()]


def profiled_refusals(package):
    profiler = cProfile.Profile()
    fake_tool(package)
    for call in (lambda: package.App.start(), lambda: package.App("a").start("extra"),
                 lambda: package._util.vorlix(check=True), lambda: package.App("a").start()):
        profiler.runcall(ended, call)
    return sorted([key[2], value[1]] for key, value in pstats.Stats(profiler).stats.items()
                  if key[2] in ("start", "vorlix", "__init__"))


def traced_program(package, hook):
    def tracer(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "<lambda>":
            package.App("from the hook")
    getattr(sys, hook)(tracer)
    try:
        (lambda: package.App("x"))()
    finally:
        getattr(sys, hook)(None)


def local_events(package, events):
    fake_tool(package)
    code = package.App.start.__code__
    M.set_local_events(TOOL, code, events)
    try:
        return [ended(lambda: package.App("m").start()), ended(lambda: package.App("m").stop()),
                ended(lambda: package.App("m").start()), M.restart_events(),
                ended(lambda: package.App("m").start())]
    finally:
        M.set_local_events(TOOL, code, 0)


def local_events_cleared(package):
    """Events set on one function, cleared, then one of them set again."""
    fake_tool(package)
    code = package.App.start.__code__
    start = lambda: ended(lambda: package.App("m").start())  # noqa: E731
    try:
        return [M.set_local_events(TOOL, code, E.PY_START | E.PY_RETURN), start(),
                M.set_local_events(TOOL, code, 0), start(), start(),
                M.set_local_events(TOOL, code, E.PY_RETURN), start()]
    finally:
        M.set_local_events(TOOL, code, 0)


def events_of_a_cleared_tool(package, freed):
    """Events a tool set on one function alone, then the tool cleared, or
    freed and its id taken by another tool; that tool listens, setting
    nothing, then sets events of its own."""
    fake_tool(package)
    code = package.apps.keys.__code__
    heard = []

    def hear(code, offset, *args):
        if is_packaged(code):
            heard.append(code.co_qualname)

    M.set_local_events(TOOL, code, E.PY_START | E.PY_RETURN)
    keys = package.apps.keys()
    if freed:
        M.free_tool_id(TOOL)
        M.use_tool_id(TOOL, "another")
    else:
        M.clear_tool_id(TOOL)
    for event in (E.PY_START, E.PY_RETURN):
        M.register_callback(TOOL, event, hear)
    try:
        answers = [keys, M.get_local_events(TOOL, code), package.apps.keys(), package.apps.keys(),
                   M.get_local_events(TOOL, code), list(heard)]
        M.set_local_events(TOOL, code, E.PY_START)
        return answers + [package.apps.keys(), M.get_local_events(TOOL, code), heard]
    finally:
        M.set_local_events(TOOL, code, 0)


def lines_after_local_events(package):
    """Which traceback entries have a line, after a tool set events on the
    functions an error passes through."""
    fake_tool(package, returncode=1)
    codes = [package.App.start.__code__, package._util.vorlix.__code__]
    for code in codes:
        M.set_local_events(TOOL, code, E.LINE | E.PY_RETURN)
    try:
        package.App("m").start()
    except Exception as e:  # noqa: BLE001 - the answer is the traceback
        entries, tb = [], e.__traceback__.tb_next
        while tb is not None:
            entries.append([tb.tb_frame.f_code.co_name, tb.tb_lineno is not None])
            tb = tb.tb_next
        return entries
    finally:
        for code in codes:
            M.set_local_events(TOOL, code, 0)


def frame_lines_after_local_events(package):
    """The lines of the package's frames in a failed call's traceback, and
    whether pdb can list around the innermost, while a tool has line events
    set on the functions the error passes through (as coverage's sysmon core
    has on all it measures) and once they are cleared."""
    fake_tool(package, returncode=1)
    codes = [package.App.start.__code__, package._util.vorlix.__code__]

    def failed_call():
        try:
            package.App("m").start()
        except Exception as e:  # noqa: BLE001 - the answer is the traceback
            return e.__traceback__.tb_next
        return None

    def lines(tb):
        entries = []
        while tb is not None:
            line = tb.tb_frame.f_lineno
            entries.append([tb.tb_frame.f_code.co_name, type(line).__name__, line == tb.tb_lineno])
            tb = tb.tb_next
        return entries

    def listed(tb):
        debugger = pdb.Pdb(stdin=io.StringIO(), stdout=io.StringIO())
        debugger.reset()
        debugger.setup(None, tb)
        try:
            return ended(lambda: debugger.onecmd("list"))
        finally:
            debugger.forget()

    answers = []
    for events in (E.LINE, 0):
        for code in codes:
            M.set_local_events(TOOL, code, events)
        tb = failed_call()
        answers.append(lines(tb) + [listed(tb)])
    return answers


def covered(package):
    """coverage.py's sysmon core measuring branches of the package, as
    `coverage run --branch --source DIR` would, then its reports: they must
    succeed, with no measured file whose source cannot be read."""
    import coverage  # only this program needs it

    fake_tool(package)
    # The package's directory, and this program's, which has lines to report.
    where = [str(Path(package.__file__).resolve().parent.parent), str(Path(__file__).parent)]
    with tempfile.TemporaryDirectory() as out, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # coverage's notes about what it measured
        cov = coverage.Coverage(branch=True, source=where, data_file=None, config_file=False)
        cov.set_option("run:core", "sysmon")
        cov.start()
        try:
            calls = [ended(lambda: package.App("m").start()), ended(lambda: package.apps["mail"]),
                     ended(lambda: package.App("m").start())]
        finally:
            cov.stop()
        reports = [ended(lambda: cov.report(file=io.StringIO())),
                   ended(lambda: cov.json_report(outfile=str(Path(out) / "c.json")))]
    return [cov.get_option("run:core"), calls, reports,
            sorted(f for f in cov.get_data().measured_files() if not Path(f).is_file())]


def other_tool_then_again(package):
    fake_tool(package)
    M.use_tool_id(OTHER, "other")
    try:
        heard = [ended(lambda: package.App("m").start()), M.set_events(OTHER, E.LINE),
                 ended(lambda: package.App("m").start()), M.set_events(TOOL, E.PY_RETURN),
                 ended(lambda: package.App("m").start()), M.set_events(TOOL, ALL),
                 ended(lambda: package.App("m").start())]
    finally:
        M.free_tool_id(OTHER)
    return heard


# name: (events the tool listens to, its answers by event, the program)
PROGRAMS = {
    "callback calls the package": (
        ALL, {"PY_START": lambda p, code: p.App("inner") and None},
        lambda p: [p.App("x").name, p.App("y").name]),
    "calls refused for their arguments": (
        ALL, {}, lambda p: [ended(lambda: p.App.start()), ended(lambda: p.App("a").start("extra")),
                            ended(lambda: p._util.vorlix(check=True))]),
    "profiled refusals": (0, {}, profiled_refusals),
    "trace function calls the package": (ALL, {}, lambda p: traced_program(p, "settrace")),
    "profile function calls the package": (ALL, {}, lambda p: traced_program(p, "setprofile")),
    "DISABLE until restarted": (
        ALL, {"PY_START": lambda p, code: M.DISABLE, "PY_RETURN": lambda p, code: M.DISABLE},
        lambda p: start_then(p, M.restart_events)),
    "DISABLE outlives another tool's change, not listening again": (
        ALL, {"PY_START": lambda p, code: M.DISABLE}, other_tool_then_again),
    "events switched off at the start": (
        ALL, {"PY_START": lambda p, code: M.set_events(TOOL, E.PY_START)},
        lambda p: [p.App("m").name, M.set_events(TOOL, ALL), p.App("n").name]),
    "events switched on by the call, no tool at its start": (
        0, {},
        lambda p: [fake_tool(p, during=lambda: M.set_events(TOOL, E.PY_START | E.PY_RETURN)),
                   ended(lambda: p.App("m").start())]),
    "events switched on by the call": (
        E.PY_START, {},
        lambda p: [fake_tool(p, during=lambda: M.set_events(TOOL, E.PY_START | E.PY_RETURN)),
                   ended(lambda: p.App("m").start())]),
    "local events": (0, {}, lambda p: local_events(p, E.PY_START | E.PY_RETURN)),
    "local events cleared": (0, {}, local_events_cleared),
    "local events of a tool cleared": (0, {}, lambda p: events_of_a_cleared_tool(p, freed=False)),
    "local events of a freed tool, its id taken": (
        0, {}, lambda p: events_of_a_cleared_tool(p, freed=True)),
    "coverage's sysmon core measuring branches": (ALL, {}, covered),
    "traceback lines after local events": (0, {}, lines_after_local_events),
    "frame lines after line events, set and cleared": (0, {}, frame_lines_after_local_events),
    # CPython 3.14 refuses it with ValueError; 3.15 ignores it in a Python
    # function, and the package keeps the program's error, but the C API
    # drops the callback, so only the first raise is heard alike.
    "DISABLE of a raise in one call": (
        ALL, {"RAISE": lambda p, code: M.DISABLE},
        lambda p: [ended(lambda: p.Launcher("home").logs())]),
    "local events answered with DISABLE": (
        0, {"PY_START": lambda p, code: M.DISABLE}, lambda p: local_events(p, E.PY_START)),
    **{f"callback raises at {event}": (ALL, {event: raising_on(event)},
                                       lambda p: start_then(p, lambda: None))
       for event in HEARD},
}

# A DISABLE answered to a raise: refused, and the callback removed, by
# CPython 3.14; 3.15's interpreter ignores it, but the C API that native code
# fires its events through still refuses it as 3.14 does.
if sys.version_info < (3, 15):
    PROGRAMS["DISABLE of a raise"] = (
        ALL, {"RAISE": lambda p, code: M.DISABLE},
        lambda p: [fake_tool(p, returncode=1), ended(lambda: p.App("m").start()),
                   ended(lambda: p.App("m").start())])


def observe(package, name):
    events, answers, program = PROGRAMS[name]
    heard = []

    def callback(event):
        def hear(code, offset, *args):
            if not is_packaged(code):
                return None
            heard.append([event, code.co_qualname] + [type(a).__name__ for a in args])
            answer = answers.get(event)
            return answer(package, code) if answer else None
        return hear

    saved = package._util.subprocess
    M.use_tool_id(TOOL, "recorder")
    try:
        for event in HEARD:
            M.register_callback(TOOL, getattr(E, event), callback(event))
        M.set_events(TOOL, events)
        M.restart_events()
        answer = program(package)
    finally:
        M.set_events(TOOL, 0)
        M.free_tool_id(TOOL)
        package._util.subprocess = saved
    return [heard, answer]


def observe_all(package):
    return {name: observe(package, name) for name in PROGRAMS}
