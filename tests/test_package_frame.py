"""The package frame: one shared object that serves the package and its three
submodules through its own finder, the attributes every module carries, the
order in which the modules load, and what a failed import leaves behind.

Anything that depends on a first import (order, sys.meta_path, failures)
runs in a fresh child interpreter."""

import builtins
import importlib
import importlib.machinery
import json
import os
import pkgutil
import pydoc
import re
import runpy
import shutil
import subprocess
import sys
import textwrap
import warnings
from importlib import resources
from pathlib import Path

import pytest

import vorlix

BENCH = str(Path(__file__).resolve().parents[1] / "bench")
sys.path.insert(0, BENCH)
import pyvorlix  # noqa: E402

sys.path.pop(0)

MODULES = ["vorlix", "vorlix._util", "vorlix._app", "vorlix._launcher"]
SUBMODULES = ["_util", "_app", "_launcher"]
# What the import system and the frame put in every module's namespace.
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
            "__builtins__", "__file__", "__cached__"}


def shared_object() -> str:
    """The file the interpreter actually loads for `import vorlix`."""
    return importlib.machinery.PathFinder.find_spec("vorlix").origin


D = os.path.dirname(shared_object())


def run_child(*parts: str, pythonpath: str = D):
    """Run the code `parts` in a fresh interpreter and return the JSON value
    it prints last."""
    env = {**os.environ, "PYTHONPATH": pythonpath}
    code = "\n".join(textwrap.dedent(part) for part in parts)
    proc = subprocess.run([sys.executable, "-P", "-c", code],
                          capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def answers_for_util(entry) -> bool:
    # The built-in finders are classes; ours is an instance.
    return not isinstance(entry, type) and entry.find_spec("vorlix._util", None) is not None


def finder():
    found = [f for f in sys.meta_path if answers_for_util(f)]
    assert len(found) == 1
    return found[0]


# Child code: the indexes of the package finder in sys.meta_path.
OURS = """
import sys
def ours():
    return [i for i, f in enumerate(sys.meta_path)
            if not isinstance(f, type) and f.find_spec("vorlix._util", None) is not None]
"""


# A child preamble that logs every call of the built-in __import__ made from
# a module of the package, with what the calling namespace held at the time,
# and which submodules were bound on the package when each call returned.
RECORD_IMPORTS = """
    import builtins, json, sys
    real_import = builtins.__import__
    calls, finished, spaces = [], [], {}

    def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
        caller = (globals or {}).get("__name__", "")
        if caller.startswith("vorlix"):
            spaces[caller] = globals
            calls.append({
                "caller": caller, "name": name, "level": level,
                "fromlist": list(fromlist) if fromlist is not None else None,
                "fromlist_type": type(fromlist).__name__,
                "locals_is_none": locals is None,
                "globals_is_namespace": globals is vars(sys.modules.get(caller, None) or object()),
                "own_names": [k for k in globals if not k.startswith("__")],
                "dunders": sorted(k for k in globals if k.startswith("__")),
            })
        try:
            return real_import(name, globals, locals, fromlist, level)
        finally:
            package = sys.modules.get("vorlix")
            for sub in ("_util", "_app", "_launcher"):
                if package is not None and sub in vars(package) and sub not in finished:
                    finished.append(sub)

    builtins.__import__ = recording_import
"""


class TestLoadOrder:
    def test_importing_a_submodule_loads_the_package_and_finishes_util_app_launcher(self):
        result = run_child(RECORD_IMPORTS, """
            import vorlix._util
            print(json.dumps({
                "finished": finished,
                "loaded": sorted(n for n in sys.modules if n.startswith("vorlix")),
            }))
        """)
        assert result["finished"] == SUBMODULES
        assert result["loaded"] == sorted(MODULES)

    def test_each_module_imports_in_its_own_order_through_builtin_import(self):
        result = run_child(RECORD_IMPORTS, """
            import vorlix
            print(json.dumps(calls))
        """)
        made = [(c["caller"], c["name"], c["fromlist"], c["level"]) for c in result]
        assert made == [
            ("vorlix", "_app", ["App"], 1),
            ("vorlix._app", "_util", ["vorlix"], 1),
            ("vorlix._util", "subprocess", None, 0),
            ("vorlix", "_app", ["api"], 1),
            ("vorlix", "_launcher", ["Launcher"], 1),
            ("vorlix._launcher", "subprocess", None, 0),
            ("vorlix._launcher", "collections.abc", ["Callable"], 0),
            ("vorlix._launcher", "_util", ["vorlix"], 1),
            ("vorlix", "_launcher", ["api"], 1),
            ("vorlix", "_util", ["VorlixException"], 1),
            ("vorlix", "_util", ["vorlix"], 1),
        ]
        for call in result:
            assert call["locals_is_none"]
            assert call["globals_is_namespace"]
            if call["fromlist"] is not None:
                assert call["fromlist_type"] == "tuple"

    def test_standard_attributes_are_set_before_a_modules_own_statements(self):
        result = run_child(RECORD_IMPORTS, """
            import vorlix
            first = {}
            for call in calls:
                first.setdefault(call["caller"], call)
            print(json.dumps(first))
        """)
        for name, call in result.items():
            expected = STANDARD | ({"__path__"} if name == "vorlix" else set())
            assert expected <= set(call["dunders"]), name
            assert call["own_names"] == [], name

    def test_util_binds_subprocess_then_the_error_type_then_the_runner(self):
        own = [k for k in vars(vorlix._util) if not k.startswith("__")]
        assert own == ["subprocess", "VorlixException", "vorlix"]
        assert vorlix._util.subprocess is subprocess
        assert set(vars(vorlix._util)) == STANDARD | set(own)


class TestModuleAttributes:
    @pytest.mark.parametrize("name", MODULES)
    def test_every_module(self, name):
        module = sys.modules[name]
        module_spec = module.__spec__
        assert module.__name__ == module_spec.name == name
        assert module.__package__ == "vorlix"
        assert module.__loader__ is module_spec.loader
        assert module.__doc__ is None
        assert module.__cached__ is None
        assert module.__builtins__ is vars(builtins)
        assert module_spec.origin == module.__file__
        assert module_spec.has_location is True
        leaf = name.rpartition(".")[2] if name != "vorlix" else "__init__"
        directory, file_name = os.path.split(module.__file__)
        assert directory == D + "/vorlix"
        assert file_name.startswith(leaf)

    def test_every_module_has_a_loader_of_its_own(self):
        loaders = [sys.modules[name].__loader__ for name in MODULES]
        assert len({id(loader) for loader in loaders}) == len(MODULES)
        assert not any(isinstance(loader, importlib.machinery.ExtensionFileLoader)
                       for loader in loaders)

    def test_package_path(self):
        assert type(vorlix.__path__) is list
        assert vorlix.__path__[0] == os.path.dirname(vorlix.__file__) == D + "/vorlix"
        assert vorlix.__spec__.submodule_search_locations is vorlix.__path__
        assert vorlix.__spec__.parent == "vorlix"

    @pytest.mark.parametrize("name", SUBMODULES)
    def test_submodules_are_not_packages(self, name):
        module = getattr(vorlix, name)
        assert not hasattr(module, "__path__")
        assert module.__spec__.submodule_search_locations is None
        assert module.__spec__.parent == "vorlix"

    @pytest.mark.parametrize("name", SUBMODULES)
    def test_package_attribute_is_the_loaded_submodule(self, name):
        assert getattr(vorlix, name) is sys.modules["vorlix." + name]

    def test_the_package_binds_no_module_of_its_own(self):
        modules = {k for k, v in vars(vorlix).items() if type(v) is type(vorlix)}
        assert modules == set(SUBMODULES)
        assert set(vars(vorlix)) == (STANDARD | {"__path__", "__all__"} | set(SUBMODULES)
                                     | set(vorlix.__all__))

    def test_files_named_in_file_and_path_need_not_exist(self):
        # The shared object lives in D; nothing of the package lives below it.
        assert os.path.isfile(shared_object())
        assert not os.path.exists(vorlix._util.__file__)


class TestWhereTheLoaderFoundIt:
    """D is the directory in the path the dynamic loader used for the shared
    object, as it was given: neither resolved nor made absolute."""

    def test_through_a_linked_directory_the_link_is_kept(self, tmp_path):
        (tmp_path / "link").symlink_to(D, target_is_directory=True)
        result = run_child("""
            import json, vorlix, vorlix._app
            print(json.dumps([vorlix.__path__[0], vorlix._app.__file__]))
        """, pythonpath=str(tmp_path / "link"))
        assert result[0] == f"{tmp_path}/link/vorlix"
        assert result[1].startswith(f"{tmp_path}/link/vorlix/_app.")

    def test_loaded_first_under_a_relative_name_the_loader_keeps_that_name(self, tmp_path):
        # A second load of the same file under another name gives back the
        # object already loaded, under its first name.
        (tmp_path / "rel").symlink_to(D, target_is_directory=True)
        name = os.path.basename(shared_object())
        result = run_child(f"""
            import ctypes, json, os
            os.chdir({str(tmp_path)!r})
            ctypes.PyDLL("rel/{name}")
            import vorlix
            print(json.dumps([vorlix.__path__[0], vorlix.__file__]))
        """)
        assert result[0] == "rel/vorlix"
        assert result[1] == "rel/vorlix/__init__" + name[len("vorlix"):]

    def test_a_directory_whose_name_is_not_utf8_is_named_as_python_names_it(self, tmp_path):
        # Its bytes are kept by the file-system encoding, as in sys.path. The
        # interpreter's own extension loader refuses such a path (it keys its
        # cache by the path in UTF-8, python/cpython#155247), so the shared
        # object is loaded there first and imported through a link.
        directory = os.fsdecode(bytes(tmp_path) + b"/not utf-8 \xff")
        os.mkdir(directory)
        shutil.copy(shared_object(), directory)
        (tmp_path / "link").symlink_to(directory, target_is_directory=True)
        name = os.path.basename(shared_object())
        result = run_child(f"""
            import ctypes, json, pkgutil
            from importlib import resources
            ctypes.PyDLL({directory + "/" + name!r})
            import vorlix, vorlix._app
            print(json.dumps([vorlix.__path__[0], vorlix._app.__file__, resources.files(vorlix).name,
                              [module.name for module in pkgutil.iter_modules(vorlix.__path__)]]))
        """, pythonpath=str(tmp_path / "link"))
        assert result == [f"{directory}/vorlix", f"{directory}/vorlix/_app{name[len('vorlix'):]}",
                          "vorlix", sorted(SUBMODULES)]


class TestRerunBody:
    def test_builtins_already_in_the_namespace_are_kept(self):
        result = run_child("""
            import builtins, importlib, json
            import vorlix
            own = dict(vars(builtins))
            vorlix._util.__builtins__ = own
            importlib.reload(vorlix._util)
            print(json.dumps({
                "kept": vorlix._util.__builtins__ is own,
                "runner_sees": vorlix._util.vorlix.__builtins__ is own,
            }))
        """)
        assert result == {"kept": True, "runner_sees": True}

    def test_a_name_read_from_a_submodule_falls_back_to_sys_modules(self):
        # `from ._app import App` finds a loaded module "vorlix._app.App"
        # when the submodule has no attribute of that name.
        result = run_child("""
            import json, sys, types
            stand_in = types.ModuleType("vorlix._app")
            stand_in.api = "registry"
            sys.modules["vorlix._app"] = stand_in
            sys.modules["vorlix._app.App"] = nested = types.ModuleType("vorlix._app.App")
            import vorlix
            print(json.dumps([vorlix.App is nested, vorlix.apps]))
        """)
        assert result == [True, "registry"]


class TestFinder:
    def test_stands_at_index_2_behind_builtin_and_frozen_finders(self):
        result = run_child("""
            import json, sys
            before = [repr(f) for f in sys.meta_path]
            import vorlix
            after = [repr(f) for f in sys.meta_path]
            print(json.dumps({"before": before, "after": after}))
        """)
        before, after = result["before"], result["after"]
        assert len(after) == len(before) + 1
        assert after[:2] == before[:2]
        assert after[3:] == before[2:]
        assert "BuiltinImporter" in before[0] and "FrozenImporter" in before[1]
        assert "PathFinder" in after[3]

    @pytest.mark.parametrize("kept", [0, 1])
    def test_goes_last_in_a_list_shorter_than_two(self, kept):
        result = run_child(f"""
            import json, sys
            import subprocess, collections.abc  # the package's needs, already loaded
            path_finder = sys.meta_path[-1]
            sys.meta_path[:] = [path_finder] * {kept}
            try:
                import vorlix
            except ImportError:
                pass
            print(json.dumps([getattr(f, "__name__", "ours") for f in sys.meta_path]))
        """)
        if kept:
            assert result == ["PathFinder", "ours"]
        else:
            # Without any finder the shared object itself cannot be found.
            assert result == []

    @pytest.mark.parametrize("name", MODULES)
    def test_answers_for_the_module_table(self, name):
        module = sys.modules[name]
        found = finder().find_spec(name, None)
        assert found.name == name
        assert found.loader is module.__loader__
        assert found.origin == module.__file__
        assert found.has_location is True
        if name == "vorlix":
            assert found.submodule_search_locations == vorlix.__path__
        else:
            assert found.submodule_search_locations is None

    @pytest.mark.parametrize("name", [
        "vorlix.other", "vorlix._util.vorlix", "vorlix.util", "Vorlix", "vorlix._App",
        "vorlix_", "_util", "subprocess", "vorlix.", "",
    ])
    def test_gives_nothing_for_any_other_name(self, name):
        assert finder().find_spec(name, None) is None
        assert finder().find_spec(name, vorlix.__path__, None) is None

    @pytest.mark.parametrize("entry", [
        D, D + "/vorlix/", D + "/Vorlix", "vorlix", "", (D + "/vorlix").encode(), None,
    ], ids=["parent", "trailing-slash", "other-case", "bare-name", "empty", "bytes", "none"])
    def test_its_path_hook_takes_the_package_directory_alone(self, entry):
        hook = finder()
        assert sys.path_hooks[0] is hook
        assert repr(hook(vorlix.__path__[0])) == f"<vorlix finder for {vorlix.__path__[0]!r}>"
        with pytest.raises(ImportError):
            hook(entry)

    def test_its_path_hook_lets_an_entrys_own_error_through(self):
        class Refusing(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                raise LookupError("compared")

        for entry in (vorlix.__path__[0], "/elsewhere"):
            with pytest.raises(LookupError, match="compared"):
                finder()(Refusing(entry))

    def test_a_rerun_module_comes_out_of_the_table_again(self, sim):
        # reload() asks the finder again and runs the row once more.
        import importlib
        runner, error = vorlix._util.vorlix, vorlix._util.VorlixException
        try:
            reloaded = importlib.reload(vorlix._util)
            assert reloaded is sys.modules["vorlix._util"]
            assert reloaded.vorlix is not runner
            assert reloaded.vorlix("list-apps") == sim.read("apps")
        finally:
            vorlix._util.vorlix, vorlix._util.VorlixException = runner, error


class TestFilesUnderPackagePath:
    @pytest.fixture
    def site(self, tmp_path):
        """A copy of the shared object in a directory of its own, with Python
        files in the package directory where the path finder would look."""
        shutil.copy(shared_object(), tmp_path)
        package = tmp_path / "vorlix"
        package.mkdir()
        for leaf in ["_util", "_app", "_launcher"]:
            (package / f"{leaf}.py").write_text(f"raise RuntimeError('{leaf}.py was run')\n")
        (package / "extra.py").write_text("FROM_FILE = True\n")
        return tmp_path

    def test_submodules_still_come_from_the_shared_object(self, site):
        result = run_child("""
            import importlib, json, pkgutil, sys, types
            import vorlix, vorlix.extra
            # Without the package's finder the path-based one still finds
            # the submodules in the shared object.
            sys.meta_path.pop(2)
            importlib.reload(vorlix._util)
            print(json.dumps({
                "path": vorlix.__path__[0],
                "files": {n: sys.modules[n].__file__ for n in
                          ["vorlix", "vorlix._util", "vorlix._app", "vorlix._launcher"]},
                "python_runner": type(vorlix._util.vorlix) is types.FunctionType,
                "extra": vorlix.extra.FROM_FILE,
                "extra_loader": type(vorlix.extra.__loader__).__name__,
                "listed": [[m.name, m.ispkg] for m in pkgutil.iter_modules(vorlix.__path__)],
            }))
        """, pythonpath=str(site))
        assert result["path"] == f"{site}/vorlix"
        for name, file_name in result["files"].items():
            leaf = "__init__" if name == "vorlix" else name.rpartition(".")[2]
            assert file_name.startswith(f"{site}/vorlix/{leaf}")
            assert not file_name.endswith(".py")
        assert result["python_runner"] is False
        # Names outside the table are left to the next finder.
        assert result["extra"] is True
        assert result["extra_loader"] == "SourceFileLoader"
        assert result["listed"] == [[leaf, False] for leaf in ["_app", "_launcher", "_util", "extra"]]


# What tools that list and run packages make of the package, as of its
# plain-Python twin: pkgutil and pydoc list the package directory, runpy and
# linecache ask the loaders what importlib.abc.InspectLoader offers.

def package_contents(package):
    return ([(m.name, m.ispkg) for m in pkgutil.iter_modules(package.__path__)],
            [m.name for m in pkgutil.walk_packages(package.__path__, package.__name__ + ".")])


def help_contents(package):
    text = pydoc.plain(pydoc.render_doc(package))
    return re.findall(r"^(PACKAGE CONTENTS|SUBMODULES)\n((?:    .*\n)*)", text, flags=re.M)


def loader_services(package):
    modules = [package] + [getattr(package, leaf) for leaf in SUBMODULES]
    try:
        runpy.run_module(package.__name__)
    except ImportError as error:
        run = str(error)
    return [m.__loader__.is_package(m.__name__) for m in modules], run


def run_again(package):
    """The package body once more, as importlib.reload runs it (the twin is
    found on the path it was imported from)."""
    sys.path.insert(0, BENCH)
    try:
        return importlib.reload(package)
    finally:
        sys.path.remove(BENCH)


def rerun_beside_a_finder_with_its_own_equality(package):
    """A host's finder and path hook whose equality reads an attribute of the
    other object, as some import tracers' do, while the package runs again."""
    class Tracer:
        traced = True

        def __eq__(self, other):
            return self.traced == other.traced

        __hash__ = object.__hash__

        def find_spec(self, name, path=None, target=None):
            return None

        def __call__(self, entry):
            raise ImportError(entry)

    tracer = Tracer()
    sys.meta_path.insert(0, tracer)
    sys.path_hooks.insert(0, tracer)
    try:
        return run_again(package).__all__
    finally:
        sys.meta_path[:] = [f for f in sys.meta_path if f is not tracer]
        sys.path_hooks[:] = [h for h in sys.path_hooks if h is not tracer]


def contents_after_the_host_restored_its_hooks(package):
    """A host puts back the path hooks and importer cache it saved before the
    package was imported, something looks below the package meanwhile, and
    then the package runs again."""
    hooks, cache = sys.path_hooks[:], sys.path_importer_cache.copy()
    sys.path_hooks[:] = [hook for hook in hooks if hook is not finder()]
    sys.path_importer_cache.pop(package.__path__[0], None)
    try:
        importlib.machinery.PathFinder.find_spec(package.__name__ + ".other", package.__path__)
        run_again(package)
        return package_contents(package)
    finally:
        sys.path_hooks[:] = hooks
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(cache)


def resource_files(package):
    """What importlib.resources reads of the package: its own resources, not
    the twin's module files."""
    def own(names):
        return sorted(n for n in names if not n.endswith(".py") and n != "__pycache__")

    def refusal(read):
        try:
            read()
        except OSError as error:
            return [type(error).__name__, error.errno,
                    os.path.relpath(error.filename, package.__path__[0])]

    root = resources.files(package)
    with resources.as_file(root) as path:
        copied = [path.name, path.is_dir(), own(p.name for p in path.iterdir())]
    with warnings.catch_warnings(action="ignore", category=DeprecationWarning):
        listed = own(resources.contents(package.__name__))
    return [root.name, root.is_dir(), root.is_file(), own(p.name for p in root.iterdir()),
            resources.files(package._app).is_dir(), copied, listed,
            resources.is_resource(package, "nothing"), (root / "").is_dir(),
            refusal(lambda: resources.read_text(package.__name__, "nothing")),
            refusal(root.read_bytes), refusal((root / "deeper").joinpath("below").iterdir)]


@pytest.mark.parametrize("probe", [package_contents, help_contents, loader_services,
                                   rerun_beside_a_finder_with_its_own_equality,
                                   contents_after_the_host_restored_its_hooks, resource_files],
                         ids=lambda probe: probe.__name__)
def test_tools_see_the_package_as_a_python_package(probe):
    plain = json.loads(json.dumps(probe(pyvorlix)).replace("pyvorlix", "vorlix"))
    assert json.loads(json.dumps(probe(vorlix))) == plain


def test_a_submodule_run_with_dash_m_is_refused_with_an_import_error():
    # The plain-Python twin runs the file; there is no Python code here,
    # as for any extension module.
    proc = subprocess.run([sys.executable, "-P", "-m", "vorlix._util"], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": D})
    assert proc.returncode == 1
    assert proc.stderr.splitlines()[-1] == (f"{sys.executable}: No code object available "
                                            "for vorlix._util")
    assert "Traceback" not in proc.stderr


class TestSecondCopy:
    """A second copy of the shared object in one process, as vendoring
    projects and tools that compare two installations make one. Each copy
    keeps its own state and serves its modules under the name it was
    imported under; a copy that is the same file shares one state."""

    SCENARIOS = {
        "vendored": ("import outer.vorlix as first", "import vorlix as second"),
        "by path": ("import vorlix as first", """
            spec = importlib.util.spec_from_file_location("vorlix", other_file)
            second = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(second)
        """),
        "same file under two names": ("import outer.vorlix as first", "import vorlix as second"),
    }

    @pytest.mark.parametrize("scenario", SCENARIOS)
    def test_each_copy_serves_its_own_modules(self, tmp_path, sim, scenario):
        (tmp_path / "outer").mkdir()
        (tmp_path / "outer" / "__init__.py").write_text("")
        shutil.copy(shared_object(), tmp_path / "outer")
        other_file = str(tmp_path / "outer" / os.path.basename(shared_object()))
        outer = f"{tmp_path}/outer"
        path = [str(tmp_path), outer if scenario == "same file under two names" else D]
        first, second = self.SCENARIOS[scenario]
        result = run_child(f"""
            import importlib.util, json, sys
            other_file = {other_file!r}
            def loaded():
                return sorted(name for name in sys.modules if "vorlix" in name)
            def seen(package):
                return [package.__name__, package.__path__[0], package.App.__module__,
                        package.vorlix.__module__, package.apps.keys()]
        """, first, "alone = loaded()", second, """
            print(json.dumps([alone, loaded(), seen(first), seen(second),
                              first.App is second.App]))
        """, pythonpath=os.pathsep.join(path))
        alone, loaded, first, second, shared = result
        keys = sim.read("apps").splitlines()
        installed = ["vorlix", "vorlix._app", "vorlix._launcher", "vorlix._util"]
        vendored = ["outer." + name for name in installed]
        if scenario == "by path":
            # As a Python package loaded so: its relative imports find the
            # installed package's submodules, and the copy adds no module.
            assert alone == loaded == installed
            assert first == ["vorlix", f"{D}/vorlix", "vorlix._app", "vorlix._util", keys]
            assert second == ["vorlix", f"{outer}/vorlix", "vorlix._app", "vorlix._util", keys]
            assert shared is True
        else:
            assert alone == vendored
            assert loaded == sorted(vendored + installed)
            assert first == ["outer.vorlix", f"{outer}/vorlix", "outer.vorlix._app",
                             "outer.vorlix._util", keys]
            assert second == ["vorlix", path[1] + "/vorlix", "vorlix._app", "vorlix._util", keys]
            assert shared is False


class TestFailedImport:
    def test_without_subprocess_nothing_is_left_and_a_retry_succeeds(self):
        result = run_child(OURS, """
            import json, sys
            sys.modules["subprocess"] = None
            try:
                import subprocess
            except ImportError as e:
                expected = [type(e).__name__, str(e)]
            finders = len(sys.meta_path)
            try:
                import vorlix
            except ImportError as e:
                got = [type(e).__name__, str(e)]
            left = sorted(n for n in sys.modules if n.startswith("vorlix"))
            placed = len(sys.meta_path) - finders
            del sys.modules["subprocess"]
            import vorlix
            print(json.dumps({
                "expected": expected, "got": got, "left": left, "placed": placed,
                "finders_after_retry": len(sys.meta_path) - finders,
                "all": vorlix.__all__,
                "runner": vorlix._util.subprocess is sys.modules["subprocess"],
                "index": ours(),
            }))
        """)
        assert result["got"] == result["expected"]
        assert result["left"] == []
        # The first run placed the finder; the retry does not place another.
        assert result["placed"] == 1
        assert result["finders_after_retry"] == 1
        assert result["index"] == [2]
        assert result["all"] == ["App", "apps", "Launcher", "launchers", "VorlixException",
                                 "vorlix"]
        assert result["runner"] is True

    def test_failing_launcher_body_leaves_finished_submodules_loaded_and_bound(self):
        result = run_child(RECORD_IMPORTS, """
            import subprocess, collections.abc
            sys.modules["collections.abc"] = None
            try:
                import vorlix
            except ImportError as e:
                error = str(e)
            print(json.dumps({
                "error": error,
                "loaded": sorted(n for n in sys.modules if n.startswith("vorlix")),
                "bound_when_failed": finished,
                "discarded": [k for k in spaces["vorlix"] if not k.startswith("__")],
                "all": "__all__" in spaces["vorlix"],
            }))
        """)
        assert result["error"] == "import of collections.abc halted; None in sys.modules"
        assert result["loaded"] == ["vorlix._app", "vorlix._util"]
        assert result["bound_when_failed"] == ["_util", "_app"]
        # The body stopped at the import of Launcher: the discarded package
        # holds the finished submodules and the names bound before it.
        assert result["discarded"] == ["_util", "_app", "App", "apps"]
        assert result["all"] is False

    def test_the_bodys_exception_reaches_the_importer_unchanged(self):
        result = run_child("""
            import json, sys, types
            class Odd(Exception):
                pass
            raised = Odd("from inside")
            stand_in = types.ModuleType("vorlix._util")
            def __getattr__(name):
                raise raised
            stand_in.__getattr__ = __getattr__
            sys.modules["vorlix._util"] = stand_in
            try:
                import vorlix
            except Odd as e:
                same = e is raised
            print(json.dumps({
                "same": same,
                "left": sorted(n for n in sys.modules if n.startswith("vorlix")),
            }))
        """)
        assert result["same"] is True
        # _app's body raised, so it is gone; the stand-in was never loaded by us.
        assert result["left"] == ["vorlix._util"]

    @pytest.mark.parametrize("variant", ["plain", "file", "located", "nameless"])
    def test_missing_name_uses_the_interpreters_wording(self, variant):
        result = run_child(f"""
            import importlib.machinery, json, sys, types
            def stand_in(name):
                module = types.ModuleType(name)
                if {variant!r} == "file":
                    module.__file__ = "/elsewhere/_app.py"
                elif {variant!r} == "located":
                    module.__spec__ = importlib.machinery.ModuleSpec(name, None,
                                                                     origin="/x/_app.so")
                    module.__spec__.has_location = True
                elif {variant!r} == "nameless":
                    del module.__name__
                return module

            def caught(statement):
                try:
                    exec(statement, {{}})
                except ImportError as e:
                    return [type(e).__name__, str(e), e.name, e.path, e.name_from]

            sys.modules["reference"] = stand_in("reference")
            expected = caught("from reference import App")
            sys.modules["vorlix._app"] = stand_in("vorlix._app")
            got = caught("import vorlix")
            print(json.dumps({{"expected": expected, "got": got,
                              "left": "vorlix" in sys.modules}}))
        """)
        expected = result["expected"]
        if variant != "nameless":
            expected = [expected[0], expected[1].replace("'reference'", "'vorlix._app'"),
                        "vorlix._app", *expected[3:]]
        assert result["got"] == expected
        assert result["left"] is False

