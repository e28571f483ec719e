"""Lazy imports (CPython 3.15): whatever turns them on, the package's own
imports are bound lazily and resolved on first use, as bench/pyvorlix's
import statements are. Each scenario runs in a fresh child for both
packages; after the import and after each step the child records the kinds
of every name in the package's loaded modules (seen through vars(), which
leaves placeholders alone), which of subprocess and collections.abc are
loaded, sys.lazy_modules, and the step's answer. Both records must match,
but for the one difference stated in TWIN_DIFFERENCE."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports came with 3.15")

BENCH = str(Path(__file__).resolve().parents[1] / "bench")

# Imports nothing before the package that could load what it watches (json
# would load collections.abc): the record is printed at the very end.
PROBE = r"""
import importlib, sys
name, prelude, *steps = sys.argv[1:]

class Done:
    def __init__(self, argv):
        self.returncode, self.stdout, self.stderr = 0, "fake " + " ".join(argv[1:]), ""

class Fake:
    def run(self, argv, **options): return Done(argv)
    def call(self, argv): return 0

def plain(text):
    text = str(text)
    return "P" if text == name else text.replace(name + ".", "P.")

def look(answer):
    modules = {plain(m): {k: type(v).__name__ for k, v in vars(sys.modules[m]).items()
                          if not k.startswith("__")}
               for m in sys.modules if m == name or m.startswith(name + ".")}
    watched = [m for m in ("subprocess", "collections.abc") if m in sys.modules]
    lazy = sorted(plain(m) for m in sys.lazy_modules if name in m or m in watched)
    return [modules, watched, lazy, answer]

exec(prelude)
P = importlib.import_module(name)
record = [look(None)]
space = {"P": P, "Fake": Fake}
for step in steps:
    try:
        exec(step, space)
        answer = plain(space.pop("result", None))
    except Exception as error:
        answer = [type(error).__name__, plain(error)]
    record.append(look(answer))
import importlib.util
import json
print(json.dumps(record))
"""

# The one difference: the package evaluates annotations when it makes each
# function, in every mode, resolving a lazy import that they name (the
# Callable of Launcher.logs loads collections.abc as vorlix._launcher runs);
# the twin, as any Python module since 3.14, on their first read. So the
# twin's children read each function's annotations as soon as its module
# has run, which is when the package evaluated them.
TWIN_DIFFERENCE = """
import importlib.machinery
loader = importlib.machinery.SourceFileLoader
run_module = loader.exec_module
def exec_module(self, module):
    run_module(self, module)
    for value in list(vars(module).values()):
        for member in vars(value).values() if isinstance(value, type) else [value]:
            if type(member).__name__ in ("function", "property"):
                getattr(member, "fget", member).__annotations__
loader.exec_module = exec_module
"""

ALL = (["-X", "lazy_imports=all"], {}, "")
MODES = {
    "-X lazy_imports=all": ALL,
    "PYTHON_LAZY_IMPORTS": ([], {"PYTHON_LAZY_IMPORTS": "all"}, ""),
    "set_lazy_imports": ([], {}, "sys.set_lazy_imports('all')"),
    "filter": (["-X", "lazy_imports=all"], {},
               "sys.set_lazy_imports_filter(lambda importer, name, fromlist: name != 'subprocess')"),
}

USE = [
    "result = P.apps.keys()",
    "result = P.App('camera').is_running",
    "result = P.launchers.current.name",
    "result = P.Launcher('home').is_current",
    "result = P.vorlix('status')",
    "result = sorted(P.Launcher.logs.__annotations__)",
    "result = P.VorlixException.__mro__[1]",
]
OTHER_ORDER = [
    "result = P.launchers['kiosk'].is_enabled",
    "result = P.apps['maps'].is_paused",
    "exec('from ' + P.__name__ + ' import *', {})",
]
# Rebinding: while the placeholder resolves (the binding the import made
# stays), after it did, before it does, and the name taken away.
REBIND = [
    "result = P.VorlixException.__name__",
    """
import builtins
real_import = builtins.__import__
def rebinding_import(name, *args):
    if name == 'subprocess':
        P._util.subprocess = Fake()
    return real_import(name, *args)
builtins.__import__ = rebinding_import
result = P.vorlix('status')
""",
    "builtins.__import__ = real_import; result = P.vorlix('status')",
    "import sys; P._util.subprocess = sys.modules['subprocess']; result = P.vorlix('status')",
    "P.launchers; P._launcher.subprocess = Fake(); result = P.Launcher('x').is_active",
    "P.apps; P._app.vorlix = lambda *args: 'one\\ntwo'; result = P.apps.keys()",
    "del P._util.subprocess; result = P.vorlix('status')",
]

# Made when the module ran, the annotations keep what a name they use was
# bound to then.
ANNOTATIONS = [
    "result = type(P.launchers).__name__",
    "P._launcher.Callable = None; result = P.Launcher.logs.__annotations__['_onlogline']",
]

SCENARIOS = [pytest.param(mode, USE, id=f"use, {mode}") for mode in MODES] + [
    pytest.param("-X lazy_imports=all", OTHER_ORDER, id="other order"),
    pytest.param("-X lazy_imports=all", REBIND, id="rebinding"),
    pytest.param("-X lazy_imports=all", ANNOTATIONS, id="annotations at definition"),
]


def observe(package: str, mode: str, steps: list[str]) -> list:
    flags, env, prelude = MODES[mode]
    if package == "pyvorlix":
        prelude = TWIN_DIFFERENCE + prelude
    env = {**os.environ, **env,
           "PYTHONPATH": os.pathsep.join([BENCH, os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, "-P", *flags, "-c", PROBE, package, prelude, *steps],
                          capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("mode, steps", SCENARIOS)
def test_lazy_mode_matches_the_python_package(sim, mode, steps):
    ours = observe("vorlix", mode, steps)
    theirs = observe("pyvorlix", mode, steps)
    # The six names wait for first use, and nothing of the package loads.
    assert set(ours[0][0]["P"].values()) == {"lazy_import"}
    assert list(ours[0][0]) == ["P"]
    assert ours == theirs


# A failed resolution, and the audit events of the import statements: the
# code they run as is the same whether the build compiled it or the import
# does, and so is what hooks hear of it.
RESOLVE = r"""
import json, sys
name, blocked, use = sys.argv[1:]
compiled = []
sys.addaudithook(lambda event, args: event == "compile" and name in str(args[1])
                 and compiled.append([args[0].decode(), args[1]]))
class Block:
    def find_spec(self, fullname, path=None, target=None):
        if fullname == blocked:
            raise ImportError(f"no {blocked} here")
sys.modules.pop(blocked, None)
sys.meta_path.insert(0, Block())
P = __import__(name)
try:
    exec(use, {"P": P})
except ImportError as error:
    frames, entry = [], error.__cause__.__traceback__
    while entry is not None:
        code = entry.tb_frame.f_code
        frames.append([code.co_filename, entry.tb_lineno, code.co_name])
        entry = entry.tb_next
del sys.meta_path[0]
def module(file):
    folder, _, leaf = file.rpartition("/")
    stem = leaf.split(".")[0]
    return file if folder != P.__path__[0] else "P" if stem == "__init__" else "P." + stem
print(json.dumps([[[module(f), line, where] for f, line, where in frames],
                  [[text, module(f)] for text, f in compiled]]))
"""


def resolve(package, blocked, use):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([BENCH, os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, "-P", "-X", "lazy_imports=all", "-c", RESOLVE, package,
                           blocked, use], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.mark.parametrize("blocked, use, module, line, imported", [
    ("subprocess", "P.vorlix('status')", "P._util", 1, "subprocess"),
    # The twin evaluates annotations when they are first read.
    ("collections", "P.launchers; P.Launcher.logs.__annotations__", "P._launcher", 2, "Callable"),
])
def test_a_failed_resolution_names_the_import_statement(sim, blocked, use, module, line, imported):
    ours, compiled = resolve("vorlix", blocked, use)
    theirs, _ = resolve("pyvorlix", blocked, use)
    assert ours == theirs == [[module, line, "<module>"]]
    # The statements ran as code that came with the shared object.
    assert compiled == []


# The statements run as the code the build compiled for them, never
# compiled at import: a host whose audit hook refuses dynamic code (raising
# an error or KeyboardInterrupt) imports and uses the package under lazy
# imports as under any other mode.
EVERY_BODY = r"""
import annotationlib, collections.abc, json, subprocess, sys
annotationlib.Format, collections.abc.Callable, json.dumps, subprocess.run  # loaded before
refusal = {"error": PermissionError, "interrupt": KeyboardInterrupt}[sys.argv[1]]
def refuse(event, args):
    if event == "compile":
        raise refusal(event)
sys.addaudithook(refuse)
import vorlix as P
print(json.dumps([P.apps.keys(), P.launchers.current.name, P.VorlixException.__name__,
                  sorted(P.Launcher.logs.__annotations__),
                  annotationlib.get_annotations(P.Launcher.logs, format=annotationlib.Format.STRING)]))
"""


@pytest.mark.parametrize("refusal", ["error", "interrupt"])
def test_the_import_statements_run_as_the_build_compiled_them(sim, refusal):
    proc = subprocess.run([sys.executable, "-X", "lazy_imports=all", "-c", EVERY_BODY, refusal],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [
        ["mail", "notes", "camera", "music", "maps", "clock"], "home", "VorlixException",
        ["_onlogline", "return"], {"_onlogline": "Callable[[str], None] | None",
                                   "return": "list[str] | None"}]


# Nothing is compiled at run time: the package binds its names under lazy
# imports from code that the build made of its import statements, so
# importing it and resolving every name raises no compile audit event (as
# compiling would) but the one this check makes itself, which shows that
# its hook hears the package's file.  In a fresh child, the build first on
# its path, so that it holds in every suite, whatever ran here before.
NOTHING_COMPILED = r"""
import json, sys
name, prelude = sys.argv[1:]
compiled = []
sys.addaudithook(lambda event, args: event == "compile" and name in str(args[1])
                 and compiled.append([bytes(args[0] or b"").decode(), str(args[1])]))
exec(prelude)
P = __import__(name)
P.apps.keys(), P.launchers.current, P.VorlixException, P.vorlix("status")
compile("pass", P.__file__, "exec")
print(json.dumps([compiled, P.__file__]))
"""


@pytest.mark.parametrize("mode", MODES)
def test_importing_the_package_compiles_nothing(sim, mode):
    flags, env, prelude = MODES[mode]
    path = [os.environ.get("VORLIX_BUILD_DIR", ""), os.environ.get("PYTHONPATH", "")]
    env = {**os.environ, **env, "PYTHONPATH": os.pathsep.join(filter(None, path))}
    proc = subprocess.run([sys.executable, "-P", *flags, "-c", NOTHING_COMPILED, "vorlix", prelude],
                          capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    compiled, file = json.loads(proc.stdout)
    assert compiled == [["pass", file]]
