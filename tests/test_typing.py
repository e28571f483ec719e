"""The type information that ships with vorlix: the stub-only package
vorlix-stubs, installed beside the shared object.

The stubs are checked against the module they describe: they are installed
the way the wheel installs them (cmake's install rules, into a throw-away
virtual environment), then mypy's stubtest compares them with the imported
module, a comparison of our own covers what stubtest leaves out (annotations,
imported names, instance attributes), and mypy --strict must accept typed
user code and reject misuse.  stubtest is not incremental; the mypy runs
share one cache directory in a temporary directory.  The whole file takes
about 3 s.
"""

import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import vorlix

# cmake and mypy are build tools of the dev root; the emulated arm64 root has
# neither, and the stubs describe the same module on every architecture.
pytestmark = pytest.mark.native_only("needs cmake and mypy")

REPO = Path(__file__).resolve().parent.parent
STUBS = REPO / "vorlix-stubs"
EXAMPLE = REPO / "examples" / "typed_usage.py"
MODULES = ("vorlix", "vorlix._util", "vorlix._app", "vorlix._launcher")


def _build_dir() -> Path:
    # The built module's __file__ is <dir of the shared object>/vorlix/__init__...
    default = Path(vorlix.__file__).parent.parent
    return Path(os.environ.get("VORLIX_BUILD_DIR", default))


def _clean_env() -> dict[str, str]:
    # Without PYTHONPATH the installed copy is what gets imported, not the
    # build tree; without MYPYPATH only the installed stubs are seen.
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A virtual environment holding vorlix as the wheel installs it.

    It sees the system's site packages, so mypy is importable from it.
    """
    build = _build_dir()
    if not (build / "cmake_install.cmake").is_file():
        pytest.skip(f"{build} is not a configured build tree")
    cmake = shutil.which("cmake")
    assert cmake, "cmake is needed to install the build"
    venv = tmp_path_factory.mktemp("venv")
    subprocess.run(
        [sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
        check=True,
    )
    python = venv / "bin" / "python"
    site = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
        check=True, capture_output=True, text=True,
    ).stdout.strip()
    subprocess.run(
        [cmake, "--install", str(build), "--prefix", site],
        check=True, capture_output=True, text=True,
    )
    return python, Path(site)


def test_install_puts_only_the_module_and_its_stubs_into_site_packages(installed):
    _, site = installed
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = sorted(str(p.relative_to(site)) for p in site.rglob("*") if p.is_file())
    stubs = sorted(f"vorlix-stubs/{p.name}" for p in STUBS.glob("*.pyi"))
    assert found == sorted([f"vorlix{suffix}", *stubs])
    assert {Path(s).name for s in stubs} == {"__init__.pyi", "_util.pyi", "_app.pyi", "_launcher.pyi"}


def test_the_installed_module_is_the_one_checked(installed):
    python, site = installed
    where = subprocess.run(
        [python, "-P", "-c", "import vorlix; print(vorlix.__file__)"],
        check=True, capture_output=True, text=True, env=_clean_env(), cwd=site.parent,
    ).stdout.strip()
    assert Path(where).parent == site / "vorlix"


def test_stubtest_finds_no_difference(installed, tmp_path):
    # No allow-list: every difference stubtest can see is a failure.  Naming
    # the package checks its submodules too.
    python, _ = installed
    proc = subprocess.run(
        [python, "-P", "-m", "mypy.stubtest", "vorlix"],
        capture_output=True, text=True, env=_clean_env(), cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 4 modules" in proc.stdout


# ---------------------------------------------------------------------------
# What stubtest does not compare: each module's own names, class members and
# instance attributes, and every annotation, evaluated in the running module.

# Put into every class namespace by class creation, not members of ours.
CLASS_MACHINERY = {
    "__module__", "__qualname__", "__firstlineno__", "__static_attributes__",
    "__dict__", "__weakref__", "__doc__",
}


def _stub_tree(module: str) -> ast.Module:
    parts = module.split(".")[1:] or ["__init__"]
    return ast.parse((STUBS / f"{parts[0]}.pyi").read_text())


def _stub_names(tree: ast.Module) -> set[str]:
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname or a.name for a in node.names)
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
    return names


def _runtime_names(module) -> set[str]:
    names = set()
    for name, value in vars(module).items():
        if name.startswith("__") and name != "__all__":
            continue
        # The import system binds the package's own submodules on it.
        if inspect.ismodule(value) and value.__name__ == f"{module.__name__}.{name}":
            continue
        names.add(name)
    return names


def _is_property(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def _stub_annotations(node: ast.FunctionDef) -> list[tuple[str, str]]:
    args = node.args
    params = [*args.posonlyargs, *args.args, *([args.vararg] if args.vararg else []),
              *args.kwonlyargs, *([args.kwarg] if args.kwarg else [])]
    found = [(a.arg, ast.unparse(a.annotation)) for a in params if a.annotation is not None]
    if node.returns is not None:
        found.append(("return", ast.unparse(node.returns)))
    return found


def _check_annotations(where: str, node: ast.FunctionDef, function, namespace) -> None:
    stub = [(name, eval(source, dict(namespace))) for name, source in _stub_annotations(node)]
    assert stub == list(function.__annotations__.items()), where


@pytest.mark.parametrize("name", MODULES)
def test_stubs_state_each_modules_names_members_and_annotations(name):
    module = sys.modules[name]
    tree = _stub_tree(name)
    assert _stub_names(tree) == _runtime_names(module)

    namespace = vars(module)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            _check_annotations(f"{name}.{node.name}", node, namespace[node.name], namespace)
        if not isinstance(node, ast.ClassDef):
            continue
        cls = namespace[node.name]
        bases = [ast.unparse(b) for b in node.bases] or ["object"]
        assert bases == [b.__name__ for b in cls.__bases__], f"{name}.{node.name}"
        members = {k: v for k, v in vars(cls).items() if k not in CLASS_MACHINERY}
        functions = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
        attributes = {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
        assert functions.keys() == members.keys(), f"{name}.{node.name}"
        assert attributes == set(cls.__static_attributes__), f"{name}.{node.name}"
        for member, stub in functions.items():
            where = f"{name}.{node.name}.{member}"
            runtime = members[member]
            assert _is_property(stub) == isinstance(runtime, property), where
            if isinstance(runtime, property):
                assert (runtime.fset, runtime.fdel) == (None, None), where
                runtime = runtime.fget
            _check_annotations(where, stub, runtime, namespace)


# ---------------------------------------------------------------------------
# The stubs are where an editor finds help (the run-time objects carry no doc
# strings): every module, class, function, property and attribute has one,
# opening with a one-line summary.

def _doc_strings(body: list[ast.stmt], where: str):
    for index, node in enumerate(body):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            yield f"{where}.{node.name}", ast.get_docstring(node)
            if isinstance(node, ast.ClassDef):
                yield from _doc_strings(node.body, f"{where}.{node.name}")
        elif isinstance(node, ast.AnnAssign):
            # An attribute's doc string is the string statement after it.
            after = body[index + 1] if index + 1 < len(body) else None
            value = getattr(after, "value", None) if isinstance(after, ast.Expr) else None
            text = value.value if isinstance(value, ast.Constant) else None
            yield f"{where}.{node.target.id}", text if isinstance(text, str) else None


@pytest.mark.parametrize("name", MODULES)
def test_every_stub_declaration_has_a_doc_string(name):
    tree = _stub_tree(name)
    for where, doc in [(name, ast.get_docstring(tree)), *_doc_strings(tree.body, name)]:
        assert doc, f"{where} has no doc string"
        summary = doc.split("\n\n")[0]
        assert "\n" not in summary and summary.endswith("."), f"{where}: {summary!r}"


# ---------------------------------------------------------------------------
# mypy --strict on user code: one run over all three files.

# Every expression of the public surface has exactly the stated type.
EXACT_TYPES = '''
    import subprocess
    from collections.abc import Callable
    from typing import assert_type

    import vorlix
    import vorlix._app
    import vorlix._launcher
    import vorlix._util
    from vorlix import App, Launcher, VorlixException, apps, launchers

    assert_type(vorlix.__all__, list[str])
    assert_type(apps, vorlix._app.API)
    assert_type(launchers, vorlix._launcher.API)

    assert_type(apps.keys(), list[str])
    assert_type("mail" in apps, bool)
    assert_type(apps["mail"], App)
    assert_type(apps.running, dict[str, App])
    assert_type(apps.paused, dict[str, App])
    assert_type(dict(apps), dict[str, App])
    assert_type(vorlix._app.API(), vorlix._app.API)

    app = App(name="mail")
    app.name = "notes"
    assert_type(app.name, str)
    assert_type(app.is_running, bool)
    assert_type(app.is_paused, bool)
    action: Callable[[], None]
    for action in (app.start, app.stop, app.pause, app.resume):
        action()

    assert_type(launchers.keys(), list[str])
    assert_type("home" in launchers, bool)
    assert_type(launchers["home"], Launcher)
    assert_type(launchers.current, Launcher)
    launchers.switch("home")
    launchers.switch(Launcher("home"), start=True)
    launchers.switch(launchers.current, True)

    launcher = Launcher(name="home")
    assert_type(launcher.name, str)
    assert_type(launcher.is_current, bool)
    assert_type(launcher.is_enabled, bool)
    assert_type(launcher.is_active, bool)
    assert_type(launcher.logs(), list[str] | None)
    assert_type(launcher.logs(print), list[str] | None)
    assert_type(launcher.logs(_onlogline=None), list[str] | None)
    launcher.start()
    launcher.stop()
    launcher.enable()
    launcher.enable(start=True)

    assert_type(vorlix.vorlix(), str)
    assert_type(vorlix.vorlix("start-app", "mail"), str)
    assert_type(vorlix._app.vorlix("list-apps"), str)
    assert_type(vorlix._launcher.vorlix("status"), str)
    assert_type(vorlix._util.vorlix("status"), str)
    assert_type(vorlix._util.subprocess.run(["true"]), subprocess.CompletedProcess[bytes])
    assert_type(vorlix._launcher.subprocess.call(["true"]), int)
    on_line: vorlix._launcher.Callable[[str], None] = print
    error: Exception = VorlixException("out\\nerr")
    assert_type(VorlixException("m"), VorlixException)
'''

# Misuse that fails at run time (TypeError, KeyError, AttributeError,
# ImportError) must fail the check too.  Each marked line
# must draw an error containing the text after "# E: ", and no other line
# may draw one.
MISUSE = '''
    import vorlix
    from vorlix import App, Launcher

    for name in vorlix.apps:  # E: "API" has no attribute "__iter__" (not iterable)
        pass
    list(vorlix.launchers)  # E: No overload variant of "list" matches argument type "API"
    len(vorlix.launchers)  # E: Argument 1 to "len" has incompatible type "API"; expected "Sized"
    vorlix.apps.items()  # E: "API" has no attribute "items"
    vorlix.launchers.get("home")  # E: "API" has no attribute "get"
    vorlix.apps["mail"].is_running()  # E: "bool" not callable
    vorlix.launchers.current()  # E: "Launcher" not callable
    vorlix.apps.running()  # E: "dict[str, App]" not callable
    vorlix.apps["mail"].is_paused = False  # E: Property "is_paused" defined in "App" is read-only
    Launcher("home").is_active = True  # E: Property "is_active" defined in "Launcher" is read-only
    App()  # E: Missing positional argument "name" in call to "App"
    vorlix.apps["mail"].start(True)  # E: Too many arguments for "start" of "App"
    vorlix.vorlix("start-app", 5)  # E: Argument 2 to "vorlix" has incompatible type "int"; expected "str"
    vorlix.vorlix(args="status")  # E: Unexpected keyword argument "args" for "vorlix"
    vorlix.launchers.switch(3)  # E: Argument 1 to "switch" of "API" has incompatible type "int"; expected "Launcher | str"
    vorlix.API  # E: Module has no attribute "API"
    from vorlix import subprocess  # E: Module "vorlix" has no attribute "subprocess"
'''

_ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<message>.*)$")


@pytest.fixture(scope="module")
def mypy_strict(installed, tmp_path_factory):
    """Error messages of one mypy --strict run, by file name and line."""
    python, _ = installed
    work = tmp_path_factory.mktemp("mypy")
    (work / "exact_types.py").write_text(textwrap.dedent(EXACT_TYPES))
    (work / "misuse.py").write_text(textwrap.dedent(MISUSE))
    proc = subprocess.run(
        [python, "-P", "-m", "mypy", "--strict", "--cache-dir", str(work / "cache"),
         "--no-error-summary", "--show-absolute-path",
         str(EXAMPLE), "exact_types.py", "misuse.py"],
        capture_output=True, text=True, env=_clean_env(), cwd=work,
    )
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    errors: dict[str, dict[int, list[str]]] = {}
    for line in proc.stdout.splitlines():
        if m := _ERROR.match(line):
            by_line = errors.setdefault(Path(m["file"]).name, {})
            by_line.setdefault(int(m["line"]), []).append(m["message"])
    return errors, proc.stdout


def test_example_passes_strict_checking(mypy_strict):
    errors, output = mypy_strict
    assert "typed_usage.py" not in errors, output


def test_every_public_expression_has_its_exact_type(mypy_strict):
    errors, output = mypy_strict
    assert "exact_types.py" not in errors, output


def _misuse_marks() -> dict[int, str]:
    marks = {}
    for number, line in enumerate(textwrap.dedent(MISUSE).splitlines(), start=1):
        if "# E: " in line:
            marks[number] = line.split("# E: ", 1)[1]
    return marks


@pytest.mark.parametrize("line", sorted(_misuse_marks()))
def test_misuse_is_rejected(mypy_strict, line):
    errors, output = mypy_strict
    expected = _misuse_marks()[line]
    found = errors.get("misuse.py", {}).get(line, [])
    assert any(expected in message for message in found), f"line {line}: {found}\n{output}"


def test_misuse_draws_no_error_beyond_the_marked_lines(mypy_strict):
    errors, output = mypy_strict
    assert set(errors.get("misuse.py", {})) == set(_misuse_marks()), output


def test_example_runs_on_a_device(sim):
    # The example is real code: it must also work, not just type-check.
    proc = subprocess.run(
        [sys.executable, "-P", str(EXAMPLE)], capture_output=True, text=True,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stderr == ""
    assert "current launcher:" in proc.stdout
