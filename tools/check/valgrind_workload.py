"""What ./dev check runs under valgrind: the import (a failed one first, then
a retry), every operation against the simulated device and against
in-process fakes, and the failure paths (refusals, missing names, wrong
calls, a killed tool, output that is not UTF-8), then re-imports,
subinterpreters and a second, vendored copy.  A
missing tool is left to the faults stage: under valgrind a child that
fails to start the tool exits with 127 instead of reporting the error.  Any wrong answer ends it with an AssertionError."""

import importlib
import os
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(REPO / "tests" / "reliability"), str(REPO / "tests")]

from simulator import Simulator  # noqa: E402

state = Path(tempfile.mkdtemp()) / "device"
os.environ["VORLIX_SIM_STATE"] = str(state)
sim = Simulator(state)

# A failed import first: the package and the submodules made so far are
# thrown away, then the retry builds them again.
sys.modules["collections.abc"], saved = None, sys.modules.get("collections.abc")
try:
    import vorlix
except ImportError:
    pass
else:
    raise AssertionError("the import did not fail")
sys.modules["collections.abc"] = saved
assert "vorlix" not in sys.modules
import vorlix  # noqa: E402

# The submodules that survived the failure were bound on the package object
# that failed; the import system binds a submodule on its package only when
# it loads it, so the retried package is reached through sys.modules.
_util, _app, _launcher = (sys.modules[f"vorlix.{n}"] for n in ("_util", "_app", "_launcher"))

from fakes import FakeDevice  # noqa: E402
from operations import make_operations  # noqa: E402
from tool_ops import tool_operations  # noqa: E402

# Every operation against the simulator, once on the default device, then
# with its sub-command killed mid-run and printing bytes that are not UTF-8.
# The direct operations leave the tool this process's stdout, as
# subprocess.call does: what it prints goes to /dev/null, not into the
# check's log, which would then read as a binary file.
sys.stdout.flush()
shown, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
for name, (subcommand, how, action) in tool_operations(vorlix).items():
    sim.reset()
    answer = action()
    assert how == "captured" or answer is True, name
    sim.fail(subcommand, signal="KILL", stdout="half")
    try:
        answer = action()
    except vorlix.VorlixException as error:
        assert error.args == ("half\n",), name
    else:
        assert how == "direct" and answer is False, name
    sim.fail(subcommand, status=0, stdout=b"caf\xe9\n")
    try:
        answer = action()
    except UnicodeDecodeError:
        assert how == "captured", name
    else:
        assert how == "direct" and answer is True, name
os.dup2(shown, 1)
os.close(shown)
os.close(null)

# Every operation against the fakes, with their failure paths, a few
# times each so that anything kept per call would add up.
import types  # noqa: E402

device = FakeDevice()
real_util, real_launcher = _util.subprocess, _launcher.subprocess
_util.subprocess = types.SimpleNamespace(run=device.run)
_launcher.subprocess = types.SimpleNamespace(call=device.call)
for _ in range(3):
    for operation in make_operations(vorlix).values():
        operation()
for module, missing, action in (
    (_app, "vorlix", lambda: vorlix.App("a").start()),
    (_app, "App", lambda: vorlix.apps["mail"]),
    (_launcher, "subprocess", lambda: vorlix.Launcher("a").is_active),
    (_util, "VorlixException", lambda: vorlix.vorlix("start-app", "refused")),
):
    value = getattr(module, missing)
    delattr(module, missing)
    try:
        action()
    except NameError as error:
        assert error.name == missing
    else:
        raise AssertionError(missing)
    setattr(module, missing, value)
device.listings["status"] = ""
try:
    vorlix.launchers.current
except IndexError:
    pass
else:
    raise AssertionError("no IndexError")
_util.subprocess, _launcher.subprocess = real_util, real_launcher

# Reload and re-import.
importlib.reload(vorlix)
del sys.modules["vorlix._app"]
import vorlix._app  # noqa: E402

assert vorlix._app.api["notes"].name == "notes"
for name in [n for n in sys.modules if n == "vorlix" or n.startswith("vorlix.")]:
    del sys.modules[name]
import vorlix  # noqa: E402,F811

assert vorlix.launchers.current.name == "home"

# Subinterpreters of both kinds, each made, used and closed in turn: each
# sets the package up for itself and forgets it when it is closed.
import _interpreters  # noqa: E402

sys.path.insert(0, str(REPO / "tests" / "hosts"))
from session import session  # noqa: E402

expected = session()
source = (REPO / "tests" / "hosts" / "session.py").read_text()
for kind in ("isolated", "legacy", "isolated"):
    interp = _interpreters.create(_interpreters.new_config(kind))
    failure = _interpreters.exec(interp, source + f"\nassert session() == {expected!r}")
    _interpreters.destroy(interp)
    assert failure is None, failure

# A second copy of the shared object, vendored under another package: a
# state, types and modules of its own beside the installed copy's. Then the
# package directory as importlib.resources reads it.
import importlib.machinery  # noqa: E402
import shutil  # noqa: E402
from importlib import resources  # noqa: E402

site = Path(tempfile.mkdtemp())
(site / "outer").mkdir()
(site / "outer" / "__init__.py").write_text("")
shutil.copy(importlib.machinery.PathFinder.find_spec("vorlix").origin, site / "outer")
sys.path.insert(0, str(site))
import outer.vorlix  # noqa: E402

assert outer.vorlix.apps.keys() == vorlix.apps.keys()
assert outer.vorlix.App is not vorlix.App
root = resources.files(vorlix)
assert root.is_dir() and list(root.iterdir()) == []
try:
    (root / "nothing").read_text()
except FileNotFoundError:
    pass
else:
    raise AssertionError("a resource was read")

print("workload done")
