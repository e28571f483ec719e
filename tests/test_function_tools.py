"""What the tools our users run make of the package's functions: mock's
autospec, inspect, pydoc, functools, and the attributes a Python function
lets callers change. Each probe runs against the built package and against
bench/pyvorlix, the same package in plain Python, and must give the same
answer. Then the calls that hostile callers make, which must neither crash
nor recurse without end."""

import annotationlib
import cProfile
import functools
import gc
import importlib.util
import inspect
import os
import pickle
import pstats
import pydoc
import re
import subprocess
import sys
import textwrap
import traceback
import types
import typing
import warnings
import weakref
from pathlib import Path
from unittest import mock

import pytest

import vorlix
import vorlix._app
import vorlix._launcher
import vorlix._util

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import pyvorlix  # noqa: E402
import pyvorlix._app  # noqa: E402
import pyvorlix._launcher  # noqa: E402
import pyvorlix._util  # noqa: E402

sys.path.pop(0)

PACKAGES = [vorlix, pyvorlix]
CLASSES = ["_app.App", "_app.API", "_launcher.Launcher", "_launcher.API"]


def resolve(package, dotted):
    found = package
    for part in dotted.split("."):
        found = getattr(found, part)
    return found


def members(package):
    """Every function of a package, with the property getters."""
    found = {"_util.vorlix": package._util.vorlix}
    for label in CLASSES:
        for key, value in vars(resolve(package, label)).items():
            if isinstance(value, property):
                found[f"{label}.{key}.fget"] = value.fget
            elif callable(value) and not isinstance(value, type):
                found[f"{label}.{key}"] = value
    return found


def plain(value):
    """An answer with the package's own name and object ids taken out."""
    if isinstance(value, str):
        return re.sub(r" (id='\d+'|at 0x[0-9a-f]+)", "", value.replace("pyvorlix", "vorlix"))
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in value.items()}
    return value


def outcome(action):
    """What an action gives, or the type and message of what it raises."""
    try:
        return ("returned", repr(action()))
    except Exception as e:  # noqa: BLE001 - the answer is the exception
        return (type(e).__name__, str(e))


# Attributes that probes change, restored after each test so that both
# packages stay as imported.
SIMPLE = ["__defaults__", "__kwdefaults__", "__type_params__", "__module__", "__doc__",
          "__name__", "__qualname__"]


@pytest.fixture(autouse=True)
def restored():
    saved = []
    for package in PACKAGES:
        for f in members(package).values():
            state = {name: getattr(f, name) for name in SIMPLE}
            saved.append((f, state, f.__annotate__, f.__annotations__, dict(f.__dict__)))
    yield
    for f, state, annotate, annotations, attributes in saved:
        for name, value in state.items():
            setattr(f, name, value)
        if annotate is None:
            f.__annotations__ = annotations
        elif f.__annotate__ is not annotate:
            f.__annotate__ = annotate
        f.__dict__.clear()
        f.__dict__.update(attributes)


# Each probe takes a package and returns what the tool made of it.

def autospec_method(package):
    with mock.patch.object(package.App, "start", autospec=True) as start:
        app = package.App("camera")
        right = outcome(lambda: app.start())
        checked = outcome(lambda: start.assert_called_once_with(app))
        wrong = [outcome(lambda: app.start(1)), outcome(lambda: package.App.start())]
    return right, checked, wrong, package.App.start is vars(package.App)["start"]


def autospec_registry_member(package):
    api = package.launchers
    with mock.patch.object(package._launcher.API, "switch", autospec=True) as switch:
        right = outcome(lambda: api.switch("kiosk", start=True))
        checked = outcome(lambda: switch.assert_called_once_with(api, "kiosk", start=True))
        wrong = [outcome(lambda: api.switch()), outcome(lambda: api.switch("a", strat=1))]
    return right, checked, wrong


def autospec_instance(package):
    m = mock.create_autospec(package.App, instance=True)
    return ([outcome(lambda: m.start()), outcome(lambda: m.start(1)),
             outcome(lambda: m.stop(x=1)), str(inspect.signature(m.start))],
            [outcome(lambda: getattr(m, name)) is not None for name in ("pause", "resume")])


def autospec_class(package):
    m = mock.create_autospec(package.Launcher)
    handle = m("home")
    return [outcome(lambda: m()), outcome(lambda: handle.enable(start=True)),
            outcome(lambda: handle.enable(1, 2)), str(inspect.signature(m))]


def autospec_runner(package):
    m = mock.create_autospec(package.vorlix)
    return [str(inspect.signature(m)), outcome(lambda: m("status")), outcome(lambda: m(x=1)),
            outcome(lambda: m.assert_called_once_with("status"))]


def isfunction(package):
    return {label: (inspect.isfunction(f), isinstance(f, types.FunctionType),
                    inspect.isroutine(f), inspect.ismethoddescriptor(f))
            for label, f in members(package).items()}


def getmembers(package):
    return {label: [name for name, _ in inspect.getmembers(resolve(package, label),
                                                             inspect.isfunction)]
            for label in CLASSES}


def describe(package):
    return {label: pydoc.describe(f) for label, f in members(package).items()}


def getdoc(package):
    return {label: inspect.getdoc(f) for label, f in members(package).items()}


def render_doc(package):
    return {label: pydoc.plain(pydoc.render_doc(resolve(package, label)))
            for label in CLASSES}


def singledispatch(package):
    @functools.singledispatch
    def kind(_):
        return "other"

    kind.register(types.FunctionType, lambda _: "function")
    return {label: kind(f) for label, f in members(package).items()}


def messages(package):
    f = package.App.start
    refused = [outcome(lambda: f.missing), outcome(lambda: delattr(f, "missing"))]
    for name, value in [("__defaults__", 1), ("__kwdefaults__", 1), ("__annotate__", 1),
                        ("__annotations__", 1), ("__type_params__", 1), ("__name__", 1),
                        ("__qualname__", 1), ("__globals__", {}), ("__closure__", ()),
                        ("__builtins__", {}), ("__class__", 1), ("__class__", type("X", (), {})),
                        ("__dict__", 1)]:
        refused.append(outcome(lambda: setattr(f, name, value)))
    for name in ["__annotate__", "__type_params__", "__name__", "__qualname__", "__globals__",
                 "__closure__", "__class__", "__dict__"]:
        refused.append(outcome(lambda: delattr(f, name)))
    return refused


def attributes_a_function_lacks(package):
    f = package.vorlix
    return sorted(set(dir(f)) ^ set(dir(types.FunctionType))), hasattr(f, "__vectorcalloffset__")


def changed_defaults(package):
    package.App.__init__.__defaults__ = ("unnamed",)
    package.Launcher.enable.__defaults__ = None
    handle = package.Launcher("home")
    package.App.stop.__kwdefaults__ = {"later": 1}
    return [package.App().name, outcome(lambda: handle.enable()),
            str(inspect.signature(package.App)), package.App.stop.__kwdefaults__]


def changed_annotate(package):
    f = package.App.start
    answers = [f.__annotate__ is f.__annotate__, callable(f.__annotate__)]
    f.__annotate__ = None
    answers.append(f.__annotations__)
    f.__annotate__ = lambda format: {"return": int}
    answers += [f.__annotations__, str(inspect.signature(f))]
    f.__annotations__ = {"return": str}
    answers += [f.__annotate__, f.__annotations__]
    del f.__annotations__
    answers += [f.__annotate__, f.__annotations__]
    f.__annotate__ = lambda format: ["not", "a", "dict"]
    answers.append(outcome(lambda: f.__annotations__))
    return answers


def changed_names(package):
    f = package.App.stop
    f.__type_params__ = (int,)
    del f.__module__, f.__doc__
    answers = [f.__type_params__, f.__module__, f.__doc__, outcome(lambda: inspect.getdoc(f))]
    f.__name__ = f.__qualname__ = "lone \udc80 surrogate"
    answers += [str(inspect.signature(f)), repr(f).split(" at ")[0],
                outcome(lambda: f(package.App("x"), 1))]
    return answers


def update_wrapper(package):
    def replacement(app: "App") -> int:
        """Stops nothing."""

    wrapper = functools.update_wrapper(package.App.stop, replacement)
    f = package.App.stop
    return [wrapper is f, f.__name__, f.__qualname__, f.__doc__, f.__wrapped__ is replacement,
            f.__annotations__, str(inspect.signature(f)), f.__module__ == __name__]


def annotation_formats(package):
    """What an annotate function answers called directly, and what
    annotationlib reads in each format through functools.wraps' wrappers
    once names the annotations use are gone: the ForwardRefs, and what they
    evaluate to once the names are back."""
    annotate = package._launcher.API.switch.__annotate__
    direct = [outcome(lambda: annotate(format)) for format in (0, 1, 2, 5, 2**80, 1.5, "x")]
    direct += [outcome(call) for call in (lambda: annotate(), lambda: annotate(format=1),
                                          lambda: annotate(1, 2), lambda: annotate(x=1))]
    direct.append(str(inspect.signature(annotate)))
    wrappers = [functools.wraps(f)(lambda *args: None)
                for f in (package._launcher.API.switch, package.Launcher.logs,
                          package._app.API.running.fget)]
    forward, string, value = (annotationlib.Format.FORWARDREF, annotationlib.Format.STRING,
                              annotationlib.Format.VALUE)

    def annotations(wrapper, format):
        return annotationlib.get_annotations(wrapper, format=format)

    namespaces = [vars(package._launcher), vars(package._app)]
    kept = [dict(namespace) for namespace in namespaces]
    del namespaces[0]["Launcher"], namespaces[0]["Callable"], namespaces[1]["App"]
    try:
        read = [(annotations(w, forward), annotations(w, string),
                 outcome(lambda: annotations(w, value)),
                 annotations(w, forward) == annotations(w, forward)) for w in wrappers]
    finally:
        for namespace, names in zip(namespaces, kept):  # in their order
            namespace.clear()
            namespace.update(names)
    refs = [ref for found, *_ in read for annotation in found.values()
            for ref in [annotation, *getattr(annotation, "__args__", ())]
            if isinstance(ref, annotationlib.ForwardRef)]
    return direct, repr(read), [[
        repr(ref), ref.__forward_arg__, ref.__forward_module__, ref.__forward_is_argument__,
        ref.__forward_is_class__, ref.__extra_names__, ref.__globals__["__name__"],
        repr(ref.evaluate())] for ref in refs]


def annotate_function_itself(package):
    """Each function's annotate function as the compiler makes it: its
    names, module, code and closure, what it answers in each format called
    directly, and that it is found again by name (inspect, pickle)."""
    found = {}
    for label, f in members(package).items():
        annotate = f.__annotate__
        code = annotate.__code__
        found[label] = [
            annotate.__name__, annotate.__qualname__, annotate.__module__,
            inspect.getmodule(annotate).__name__,
            outcome(lambda: pickle.loads(pickle.dumps(annotate)) is annotate),
            annotate.__globals__ is f.__globals__, annotate.__builtins__ is f.__builtins__,
            annotate.__defaults__, annotate.__kwdefaults__, annotate.__type_params__,
            annotate.__doc__, annotate.__annotations__, str(inspect.signature(annotate)),
            code.co_name, code.co_qualname, Path(code.co_filename).name.split(".")[0],
            code.co_firstlineno, code.co_argcount, code.co_varnames, code.co_names,
            code.co_freevars, code.co_flags,
            [sorted(cell.cell_contents) for cell in annotate.__closure__ or ()],
            [outcome(lambda: annotate(format)) for format in (1, 2, 3, 4)]]
    return found


def class_namespace_first(package):
    """A method's annotations look its class up before the module: a name
    the class binds changes what its annotate function, and so typing and
    inspect through a functools.wraps wrapper, answer; the function's own
    annotations, evaluated when it was made, stay."""
    api = package._launcher.API
    switch = api.switch
    api.Launcher = int
    try:
        wrapper = functools.wraps(switch)(lambda *args: None)
        return repr([switch.__annotate__(annotationlib.Format.VALUE), switch.__annotations__,
                     typing.get_type_hints(wrapper), inspect.get_annotations(wrapper),
                     annotationlib.get_annotations(wrapper, format=annotationlib.Format.STRING),
                     str(inspect.signature(wrapper)), str(inspect.signature(switch))])
    finally:
        del api.Launcher


def unusable_name(package):
    """A name bound to what its annotation cannot use (`Callable = None`):
    VALUE fails as the expression does, FORWARDREF falls back on
    ForwardRefs, STRING is the text as written."""
    module = package._launcher
    saved = module.Callable
    module.Callable = None
    try:
        wrapper = functools.wraps(package.Launcher.logs)(lambda *args: None)
        formats = annotationlib.Format
        forward = annotationlib.get_annotations(wrapper, format=formats.FORWARDREF)
        return [outcome(lambda: annotationlib.get_annotations(wrapper, format=formats.VALUE)),
                repr(forward), annotationlib.get_annotations(wrapper, format=formats.STRING),
                outcome(lambda: typing.get_type_hints(wrapper)),
                outcome(lambda: forward["_onlogline"].evaluate()),
                forward["_onlogline"].__owner__ is wrapper]
    finally:
        module.Callable = saved


def forward_ref_owners(package):
    """The owner annotationlib is given is each ForwardRef's owner, and a
    method's ForwardRefs carry its class's namespace."""
    api = package._launcher.API
    annotate = api.switch.__annotate__
    wrapper = functools.wraps(api.switch)(lambda *args: None)
    namespace = vars(package._launcher)
    kept = dict(namespace)
    del namespace["Launcher"]
    try:
        found = []
        for owner in (None, api, wrapper, api.switch):
            ref = annotationlib.call_annotate_function(
                annotate, annotationlib.Format.FORWARDREF, owner=owner)["launcher"]
            found.append([repr(ref), ref.__owner__ is owner, ref.__forward_is_class__,
                          ref.__globals__ is namespace, type(ref.__cell__).__name__,
                          {name: sorted(cell.cell_contents)
                           for name, cell in dict(ref.__cell__ or {}).items()}])
        found.append(repr(annotationlib.get_annotations(wrapper, format=3)))
    finally:
        namespace.clear()  # and back, in its order
        namespace.update(kept)
    return found


def annotate_assigning_annotations(package):
    """An annotate function that sets `__annotations__` while it runs: the
    function keeps the dict it returned."""
    f = package.App.stop

    def annotate(format):
        f.__annotations__ = {"assigned": int}
        return {"returned": str}

    f.__annotate__ = annotate
    return [f.__annotations__, f.__annotate__, f.__annotations__]


def names_the_collector_sees(package):
    """Names that hold their function, on a function of a module run afresh:
    the collector sees them, and frees the function with the module once
    nothing else holds it, as after a reload."""
    spec = importlib.util.find_spec(package._util.__name__)
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    f = fresh.vorlix

    class Tagged(str):
        pass

    f.__name__, f.__qualname__ = Tagged("vorlix"), Tagged("vorlix")
    f.__name__.function = f.__qualname__.function = f
    seen = [any(r is name for r in gc.get_referents(f)) for name in (f.__name__, f.__qualname__)]
    alive = weakref.ref(f)
    del f, fresh
    gc.collect()
    return seen, alive() is None


# The audit events of attribute access on a function (PEP 578), recorded
# while a probe asks for them, and the events a probe refuses, as a
# sandbox's hook does: an audit hook cannot be taken away again.
AUDITED = []
AUDIT_HOOK = []
REFUSED = []


def record_audit_event(event, args):
    if AUDITED and event.startswith("object.__"):
        AUDITED[-1].append((event, *[type(arg).__name__ if isinstance(arg, types.CodeType)
                                     else plain(repr(arg)) for arg in args[1:]], args[0]))
    if REFUSED and event in REFUSED[-1]:
        raise REFUSED[-1][event](f"refused: {event}")


def install_audit_hook():
    if not AUDIT_HOOK:
        sys.addaudithook(record_audit_event)
        AUDIT_HOOK.append(record_audit_event)


def audit_events(package):
    f = package.App.stop
    install_audit_hook()
    AUDITED.append([])
    answers = [outcome(lambda: setattr(f, "__code__", 1)), outcome(lambda: delattr(f, "__code__"))]
    for name, value in [("__defaults__", ("x",)), ("__defaults__", None), ("__defaults__", 1),
                        ("__kwdefaults__", {"later": 1}), ("__class__", type("X", (), {})),
                        ("__class__", 1)]:
        answers.append(outcome(lambda: setattr(f, name, value)))
    for name in ["__defaults__", "__kwdefaults__", "__class__"]:
        answers.append(outcome(lambda: delattr(f, name)))
    try:
        f.__code__ = f.__code__  # refused by ours after the event
    except TypeError:
        pass
    events = AUDITED.pop()
    return answers, [event[:-1] for event in events], all(event[-1] is f for event in events)


def fresh_members(package):
    """Every function of the package's modules run afresh, so that nothing
    has asked for their annotate functions yet."""
    modules = {}
    for name in ("_util", "_app", "_launcher"):
        spec = importlib.util.find_spec(f"{package.__name__}.{name}")
        modules[name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(modules[name])
    return members(types.SimpleNamespace(**modules))


def annotations_where_compiling_is_refused(package):
    """A host whose audit hook refuses dynamic code (`compile`, and
    unmarshalling), raising an error or KeyboardInterrupt: every way of
    reading a function's annotations works, as for code that came with its
    module."""
    formats = annotationlib.Format
    reads = {
        "__annotate__": lambda f: f.__annotate__ is f.__annotate__,
        "VALUE": lambda f: f.__annotate__(formats.VALUE),
        "STRING": lambda f: annotationlib.get_annotations(f, format=formats.STRING),
        "FORWARDREF": lambda f: annotationlib.get_annotations(f, format=formats.FORWARDREF),
        "signature": lambda f: str(inspect.signature(f, annotation_format=formats.STRING)),
        "type hints": lambda f: typing.get_type_hints(f),
    }
    found = {}
    install_audit_hook()
    for refusal in (PermissionError, KeyboardInterrupt):
        functions = fresh_members(package)
        REFUSED.append({"compile": refusal, "marshal.loads": refusal})
        try:
            for label, f in functions.items():
                for read, action in reads.items():
                    try:
                        found[refusal.__name__, label, read] = outcome(lambda: action(f))
                    except KeyboardInterrupt as interrupted:
                        found[refusal.__name__, label, read] = ("interrupted", str(interrupted))
        finally:
            REFUSED.pop()
    return found


def code_names_and_locals(package):
    """What each function's code object says of the names it reads and the
    locals it keeps, and so what inspect.getclosurevars finds."""
    found = {}
    for label, f in members(package).items():
        code = f.__code__
        seen = inspect.getclosurevars(f)
        found[label] = [code.co_names, code.co_varnames, code.co_nlocals, code.co_argcount,
                        code.co_flags, sorted(seen.globals), sorted(seen.builtins),
                        sorted(seen.unbound), sorted(seen.nonlocals)]
    return found


def traceback_entries(package):
    """The entries that exceptions leaving the package's functions add to
    their tracebacks: each function's name, its module, whose file it
    names, its first line, and the locals that debuggers and
    `capture_locals` show (by type)."""
    def entries(action, run):
        saved = package._util.subprocess
        package._util.subprocess = run
        try:
            action()
        except Exception as error:  # noqa: BLE001 - the traceback is the answer
            frames = [frame for frame, _ in traceback.walk_tb(error.__traceback__)]
        finally:
            package._util.subprocess = saved
        return [(frame.f_code.co_name, frame.f_globals["__name__"],
                 frame.f_code.co_filename == frame.f_globals["__file__"],
                 frame.f_code.co_firstlineno,
                 {name: type(value).__name__ for name, value in frame.f_locals.items()})
                for frame in frames if frame.f_globals["__name__"].startswith(package.__name__)]

    def tool(returncode, stdout):
        done = types.SimpleNamespace(returncode=returncode, stdout=stdout, stderr="")
        return types.SimpleNamespace(run=lambda *args, **kwargs: done)

    return [entries(lambda: package.App("mail").start(), tool(1, "")),
            entries(lambda: package.apps["nope"], tool(0, "mail\n")),
            entries(lambda: package.launchers.current, None),
            entries(lambda: package.launchers.switch("home", start=1), tool(2, "")),
            entries(lambda: package._util.vorlix("a", "b"), tool(1, "")),
            entries(lambda: package.App.start(), None)]


def first_lines(package):
    """Where each function stands in its module, as its code object says."""
    return {label: f.__code__.co_firstlineno for label, f in members(package).items()}


def frames_counted(package):
    """How many frames each operation counts against the recursion limit:
    the lowest limit it runs at, beyond what the caller needs; and what a
    lower one raises."""
    done = types.SimpleNamespace(returncode=0, stdout="home\nmail\n", stderr="")
    operations = {"caller": lambda: None,
                  "apps[key]": lambda: package.apps["mail"],
                  "apps.keys()": package.apps.keys,
                  "App.start()": lambda: package.App("mail").start(),
                  "launchers.current": lambda: package.launchers.current,
                  "launchers.switch()": lambda: package.launchers.switch("home")}
    saved, limit = package._util.subprocess, sys.getrecursionlimit()
    package._util.subprocess = types.SimpleNamespace(run=lambda *args, **kwargs: done)
    counted = {}
    try:
        for label, operation in operations.items():
            refused = None
            for lowest in range(1, 100):
                try:
                    sys.setrecursionlimit(lowest)
                    operation()
                    break
                except RecursionError as error:
                    refused = str(error)
                finally:
                    sys.setrecursionlimit(limit)
            counted[label] = (lowest - counted.get("caller", (0,))[0], refused)
    finally:
        package._util.subprocess = saved
    return counted


def profiled(package):
    """What cProfile lists of a small program: each of the package's
    functions and the tool it calls, with their callers, as module, line
    and name."""
    def where(key):
        file, line, name = key
        return (Path(file).name.split(".")[0], line, name)

    def main():
        package.apps.keys()
        package.App("mail").start()

    saved = package._util.subprocess
    done = types.SimpleNamespace(returncode=0, stdout="mail\n", stderr="")
    package._util.subprocess = types.SimpleNamespace(run=lambda *args, **kwargs: done)
    profiler = cProfile.Profile()
    try:
        profiler.runcall(main)
    finally:
        package._util.subprocess = saved
    stats = pstats.Stats(profiler).stats
    return sorted((where(key), calls, sorted(where(caller) for caller in callers))
                  for key, (_, calls, _, _, callers) in stats.items()
                  if where(key)[0] in ("_app", "_util", "test_function_tools"))


PROBES = [autospec_method, autospec_registry_member, autospec_instance, autospec_class,
          autospec_runner, isfunction, getmembers, describe, getdoc, render_doc, singledispatch,
          messages, attributes_a_function_lacks, changed_defaults, changed_annotate,
          changed_names, update_wrapper, annotation_formats, annotate_function_itself,
          class_namespace_first, unusable_name, forward_ref_owners,
          annotate_assigning_annotations, names_the_collector_sees,
          annotations_where_compiling_is_refused, code_names_and_locals,
          audit_events, traceback_entries, first_lines, frames_counted, profiled]


@pytest.mark.parametrize("probe", PROBES, ids=[p.__name__ for p in PROBES])
def test_tools_see_what_they_see_in_plain_python(probe):
    assert plain(probe(vorlix)) == plain(probe(pyvorlix))


def test_help_of_the_package_differs_only_in_its_file_and_cached():
    # The module files are the shared object. Our modules keep
    # __cached__ = None on every interpreter; CPython 3.15 no longer sets it
    # on a Python module, and its pydoc lists it.
    def sections(package):
        text = plain(pydoc.plain(pydoc.render_doc(package)))
        text = text.replace("    __cached__ = None\n", "")
        parts = re.split(r"^(?=[A-Z][A-Z ]+$)", text, flags=re.MULTILINE)
        return [p for p in parts if not p.startswith("FILE") and p.strip() != "DATA"]

    assert sections(vorlix) == sections(pyvorlix)
    for leaf in ["_app", "_launcher", "_util"]:
        assert sections(getattr(vorlix, leaf)) == sections(getattr(pyvorlix, leaf))


class TestTheTypeStaysOurs:
    def test_type_and_module(self):
        f = vorlix.vorlix
        assert type(f) is not types.FunctionType
        assert f.__class__ is types.FunctionType
        assert type(f).__name__ == "function" and type(f).__module__ == "vorlix"

    def test_a_new_code_object_is_refused(self):
        f = vorlix.App.stop
        with pytest.raises(TypeError, match=r"^__code__ of App\.stop cannot be replaced: its body "
                                            r"is native code"):
            f.__code__ = (lambda app: None).__code__
        assert type(f.__code__) is types.CodeType

    @pytest.mark.parametrize("label", list(members(vorlix)))
    def test_a_function_made_from_its_code_says_why_it_cannot_run(self, label):
        code = members(vorlix)[label].__code__
        assert not code.co_flags & (inspect.CO_GENERATOR | inspect.CO_COROUTINE |
                                    inspect.CO_ASYNC_GENERATOR | inspect.CO_ITERABLE_COROUTINE)
        rebuilt = types.FunctionType(code, {})
        with pytest.raises(TypeError, match="the body is native code"):
            rebuilt(*["x"] * code.co_argcount)
        # Whatever its globals make of the names in it, it does not return.
        with pytest.raises(TypeError):
            types.FunctionType(code, {"TypeError": lambda message: None})(
                *["x"] * code.co_argcount)


class TestHostileCallers:
    def test_a_function_freed_by_its_own_call_is_held_until_it_returns(self):
        # property.__get__ holds its getter only borrowed; re-initialising
        # the property from inside the getter drops the last reference. Run
        # in a child: the package's own property is spoiled for good.
        code = textwrap.dedent("""
            import vorlix

            class Spoiler(vorlix.App):
                def __init__(self):
                    pass

                @property
                def name(self):
                    vars(vorlix.App)["is_running"].__init__(lambda self: None)
                    # Take the freed memory for something else.
                    junk = [b"\\xff" * n for n in range(90, 260) for _ in range(8)]
                    return "mail"

            print(Spoiler().is_running, vorlix.App("mail").is_running)
        """)
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               env=os.environ)
        assert (child.returncode, child.stdout) == (0, "True None\n"), child.stderr

    def test_annotate_after_the_annotations_were_replaced(self):
        f = vorlix.App.stop
        annotate, expected = f.__annotate__, dict(f.__annotations__)

        class Deleting(dict):
            def keys(self):
                del f.__annotations__
                return super().keys()

        f.__annotations__ = Deleting(x=int)
        assert f.__annotate__ is None
        for _ in range(3):
            assert annotate(1) == expected
        assert dict(f.__annotations__) == {"x": int}

    def test_recursion_through_a_subclass_raises(self, sim):
        class Looping(vorlix._app.API):
            __contains__ = vorlix._app.API.__getitem__

        with pytest.raises(RecursionError):
            "a" in Looping()  # noqa: B015

    def test_recursion_through_the_runner_hook_raises(self, sim, monkeypatch):
        monkeypatch.setattr(vorlix._app, "vorlix", vorlix._app.api.__getitem__)
        with pytest.raises(RecursionError):
            vorlix.apps.keys()


# Child code: pdb stepping through a function that calls one of the
# package's, with each of its backends.
STEPPING = """
    import io, pdb, types
    import vorlix

    done = types.SimpleNamespace(returncode=0, stdout="", stderr="")
    vorlix._util.subprocess = types.SimpleNamespace(run=lambda *args, **kwargs: done)

    def main():
        vorlix.App("mail").start()
        size = len("ab")
        return size

    out = io.StringIO()
    debugger = pdb.Pdb(stdin=io.StringIO("step\\n" * 12 + "continue\\n"), stdout=out,
                       backend={backend!r})
    debugger.use_rawinput = False
    debugger.runcall(main)
    print(out.getvalue())
"""


class TestProfilersAndDebuggers:
    @staticmethod
    def fake_tool(monkeypatch, returncode):
        done = types.SimpleNamespace(returncode=returncode, stdout="", stderr="")
        monkeypatch.setattr(vorlix._util, "subprocess",
                            types.SimpleNamespace(run=lambda *args, **kwargs: done))

    def test_entries_stand_at_their_functions_first_line(self, monkeypatch):
        self.fake_tool(monkeypatch, 1)
        with pytest.raises(vorlix.VorlixException) as caught:
            vorlix.launchers.switch("home")
        entries = [(tb.tb_frame.f_code.co_name, tb.tb_lineno, tb.tb_frame.f_code.co_firstlineno)
                   for tb in _walk(caught.value.__traceback__)][1:]
        assert [name for name, _, _ in entries] == ["switch", "enable", "vorlix"]
        assert all(line == first for _, line, first in entries), entries

    @pytest.mark.parametrize("hook", ["setprofile", "settrace"])
    def test_the_older_hooks_see_no_frame_of_ours(self, hook, monkeypatch):
        # Only the Python function that ours calls (the tool) has a frame.
        self.fake_tool(monkeypatch, 0)
        seen = []

        def record(frame, event, arg):
            seen.append((event, frame.f_code.co_name))
            return record

        app, set_hook = vorlix.App("mail"), getattr(sys, hook)
        set_hook(record)
        try:
            app.start()
        finally:
            set_hook(None)
        assert [entry for entry in seen if entry[0] in ("call", "return")] == [
            ("call", "<lambda>"), ("return", "<lambda>")]

    def test_profile_runs_and_lists_the_calls_as_calls_of_built_ins(self, monkeypatch):
        self.fake_tool(monkeypatch, 0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # from CPython 3.15 on
            import profile
        profiler = profile.Profile()
        profiler.runcall(vorlix.apps.keys)
        listed = {name for _, _, name in pstats.Stats(profiler).stats}
        assert "<lambda>" in listed and any("keys" in name for name in listed)
        assert not any(file.endswith(".so") for file, _, _ in pstats.Stats(profiler).stats)

    @pytest.mark.parametrize("backend", ["settrace", "monitoring"])
    def test_pdb_stops_in_the_caller_as_around_any_built_in(self, backend):
        code = textwrap.dedent(STEPPING).format(backend=backend)
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               env=os.environ, timeout=120)
        assert child.returncode == 0, child.stderr
        lines = code.splitlines()
        where = {text: lines.index("    " + text) + 1
                 for text in ['vorlix.App("mail").start()', 'size = len("ab")', "return size"]}
        stops = re.findall(r"<string>\((\d+)\)(\S+?)\(\)", child.stdout)
        # Each line of main once, and its return: no stop of its own for the
        # call of ours, which the debugger would take for one of main.
        assert [int(line) for line, function in stops if function == "main"] == [
            *where.values(), where["return size"]]


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next
