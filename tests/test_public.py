"""The package as its users meet it: the six public names and how they are
bound, what star import, help() and inspect show, what a failed import
leaves behind, and a whole session through the public names alone."""

import inspect
import io
import json
import os
import pydoc
import subprocess
import sys
import textwrap

import pytest

import vorlix

PUBLIC = ["App", "apps", "Launcher", "launchers", "VorlixException", "vorlix"]

# Public name -> the submodule and the name it has there.
SOURCES = {
    "App": ("vorlix._app", "App"),
    "apps": ("vorlix._app", "api"),
    "Launcher": ("vorlix._launcher", "Launcher"),
    "launchers": ("vorlix._launcher", "api"),
    "VorlixException": ("vorlix._util", "VorlixException"),
    "vorlix": ("vorlix._util", "vorlix"),
}

DEFAULT_APPS = ["mail", "notes", "camera", "music", "maps", "clock"]
DEFAULT_LAUNCHERS = ["home", "kiosk", "car mode"]


def run_child(code: str):
    """Run `code` in a fresh interpreter that imports the same built module as
    this one, and return the JSON value it prints last."""
    site = os.path.dirname(os.path.dirname(vorlix.__file__))
    env = {**os.environ, "PYTHONPATH": site}
    proc = subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


class TestPublicNames:
    @pytest.mark.parametrize("public, source", SOURCES.items(), ids=list(SOURCES))
    def test_is_the_submodules_own_object(self, public, source):
        module, own = source
        assert getattr(vorlix, public) is getattr(sys.modules[module], own)

    def test_all_lists_the_six_names_in_order(self):
        assert type(vorlix.__all__) is list
        assert vorlix.__all__ == PUBLIC

    def test_nothing_else_is_public(self):
        assert {name for name in vars(vorlix) if not name.startswith("_")} == set(PUBLIC)

    @pytest.mark.parametrize("name", ["API", "api", "subprocess", "Callable", "function"])
    def test_inside_names_are_not_attributes_of_the_package(self, name):
        with pytest.raises(AttributeError):
            getattr(vorlix, name)

    def test_the_name_vorlix_is_the_runner_not_the_package(self, sim):
        assert vorlix.vorlix is not sys.modules["vorlix"]
        assert vorlix.vorlix("list-launchers") == "home\nkiosk\ncar mode\n"


class TestFreshInterpreter:
    def test_binding_order(self):
        # The submodules are bound by the import system as each finishes
        # loading; the public names and __all__ by the package body.
        names = run_child("""
            import json, vorlix
            print(json.dumps([n for n in vars(vorlix) if n == "__all__" or not n.startswith("__")]))
        """)
        assert names == ["_util", "_app", "App", "apps", "_launcher", "Launcher",
                         "launchers", "VorlixException", "vorlix", "__all__"]

    def test_star_import_binds_exactly_the_public_names(self):
        result = run_child("""
            import json, sys
            ns = {}
            exec("from vorlix import *", ns)
            del ns["__builtins__"]
            util = sys.modules["vorlix._util"]
            print(json.dumps({
                "names": list(ns),
                "same": [ns[n] is getattr(sys.modules["vorlix"], n) for n in ns],
                "runner": ns["vorlix"] is util.vorlix,
            }))
        """)
        assert result == {"names": PUBLIC, "same": [True] * 6, "runner": True}

    @pytest.mark.parametrize("rerun", [
        "importlib.reload(vorlix)",
        "del sys.modules['vorlix']; import vorlix",
    ])
    def test_every_run_of_the_package_makes_a_new_all(self, rerun):
        result = run_child(f"""
            import importlib, json, sys
            import vorlix
            first = vorlix.__all__
            first.append("spoiled")
            {rerun}
            print(json.dumps({{"new": vorlix.__all__ is not first, "all": vorlix.__all__}}))
        """)
        assert result == {"new": True, "all": PUBLIC}


class TestSubmoduleLackingAName:
    @pytest.mark.parametrize("public, source", SOURCES.items(), ids=list(SOURCES))
    def test_stand_in_submodule(self, public, source):
        # A module already in sys.modules under a submodule's name is what
        # the package body imports from; this one lacks one name.
        module, missing = source
        origin = f"/elsewhere/{module}.py"
        result = run_child(f"""
            import importlib.machinery, json, sys, types
            stand_in = types.ModuleType({module!r})
            stand_in.__spec__ = importlib.machinery.ModuleSpec({module!r}, None, origin={origin!r})
            stand_in.__spec__.has_location = True
            for name in ["App", "api", "Launcher", "VorlixException"]:
                setattr(stand_in, name, object())
            stand_in.vorlix = lambda *args: ""
            delattr(stand_in, {missing!r})
            sys.modules[{module!r}] = stand_in

            def caught(statement):
                try:
                    exec(statement, {{}})
                except ImportError as e:
                    return [type(e).__name__, e.args, e.name, e.path, e.name_from]

            # The interpreter's own words for the same missing name.
            sys.modules["reference"] = stand_in
            expected = caught("from reference import " + {missing!r})
            del sys.modules["reference"]
            print(json.dumps({{
                "got": caught("import vorlix"),
                "expected": expected,
                "left": "vorlix" in sys.modules,
            }}))
        """)
        message = f"cannot import name {missing!r} from {module!r} ({origin})"
        assert result["expected"] == ["ImportError", [message], module, origin, missing]
        assert result["got"] == result["expected"]
        assert result["left"] is False

    @pytest.mark.parametrize("public, source", SOURCES.items(), ids=list(SOURCES))
    def test_real_submodule_then_retry(self, public, source):
        module, missing = source
        result = run_child(f"""
            import json, sys
            import vorlix
            sub = sys.modules[{module!r}]
            kept = getattr(sub, {missing!r})
            finders = len(sys.meta_path)
            delattr(sub, {missing!r})
            del sys.modules["vorlix"]
            try:
                import vorlix
            except ImportError as e:
                failure = [str(e), e.name, e.path]
            left = "vorlix" in sys.modules
            setattr(sub, {missing!r}, kept)
            import vorlix
            print(json.dumps({{
                "failure": failure,
                "file": sub.__file__,
                "left": left,
                "retried": getattr(vorlix, {public!r}) is kept and vorlix.__all__ == {PUBLIC!r},
                "finders": len(sys.meta_path) - finders,
            }}))
        """)
        path = result["file"]
        assert result["failure"] == [f"cannot import name {missing!r} from {module!r} ({path})",
                                     module, path]
        assert result["left"] is False
        assert result["retried"] is True
        # A retried import must not place a second finder.
        assert result["finders"] == 0


class TestRebindingPublicNames:
    def test_changes_nothing_inside(self, sim, monkeypatch):
        # Hold the real objects, then spoil every public name of the package.
        apps, launchers = vorlix.apps, vorlix.launchers
        App, Launcher, VorlixException = vorlix.App, vorlix.Launcher, vorlix.VorlixException
        used = []

        def spoiled(*args, **kwargs):
            used.append(args)
            raise AssertionError("a spoiled public name was used")

        for name in PUBLIC:
            monkeypatch.setattr(vorlix, name, spoiled)

        assert apps["mail"].is_running
        assert type(apps["notes"]) is App
        App("camera").start()
        with pytest.raises(VorlixException):
            App("camera").start()
        assert type(launchers.current) is Launcher
        launchers.switch("kiosk")
        Launcher("kiosk").stop()
        assert used == []
        assert [call[0] for call in sim.calls()] == [
            "list-apps", "list-running-apps", "list-apps", "start-app", "start-app",
            "status", "switch-launcher", "stop-launcher",
        ]


class TestRegistriesAsMappings:
    REGISTRIES = [
        pytest.param("apps", "list-apps", DEFAULT_APPS, id="apps"),
        pytest.param("launchers", "list-launchers", DEFAULT_LAUNCHERS, id="launchers"),
    ]

    @pytest.mark.parametrize("registry, listing, names", REGISTRIES)
    def test_dict_of_a_registry_goes_through_keys(self, sim, registry, listing, names):
        handles = dict(getattr(vorlix, registry))
        assert list(handles) == names
        assert [h.name for h in handles.values()] == names
        assert sim.calls() == [[listing]] * (1 + len(names))

    @pytest.mark.parametrize("registry, listing, names", REGISTRIES)
    def test_is_not_iterable_and_has_no_length(self, sim, registry, listing, names):
        with pytest.raises(TypeError):
            len(getattr(vorlix, registry))
        with pytest.raises(KeyError):
            for _ in getattr(vorlix, registry):
                pass
        assert sim.calls() == [[listing]]


def helped(obj) -> str:
    """What help(obj) prints."""
    out = io.StringIO()
    pydoc.Helper(input=io.StringIO(), output=out).help(obj)
    return out.getvalue()


class TestHelp:
    @pytest.mark.parametrize("obj, lines", [
        pytest.param(vorlix, [
            "Help on package vorlix:",
            "    _app", "    _launcher", "    _util",
            "    class App(builtins.object)",
            "    class Launcher(builtins.object)",
            "    class VorlixException(builtins.Exception)",
            "    vorlix(*args: str) -> str",
            "    apps = <vorlix._app.API object>",
            "    launchers = <vorlix._launcher.API object>",
            "    __all__ = ['App', 'apps', 'Launcher', 'launchers', 'VorlixException', ...",
        ], id="package"),
        pytest.param(vorlix.App, [
            "Help on class App in module vorlix._app:",
            "class App(builtins.object)",
            " |  App(name: str) -> None",
            " |  __init__(self, name: str) -> None",
            " |  pause(self) -> None",
            " |  resume(self) -> None",
            " |  start(self) -> None",
            " |  stop(self) -> None",
            " |  Readonly properties defined here:",
            " |  is_paused",
            " |  is_running",
        ], id="App"),
        pytest.param(vorlix.Launcher, [
            "Help on class Launcher in module vorlix._launcher:",
            "class Launcher(builtins.object)",
            " |  Launcher(name: str) -> None",
            " |  enable(self, start: bool = False) -> None",
            " |  start(self) -> None",
            " |  stop(self) -> None",
            " |  Readonly properties defined here:",
            " |  is_active",
            " |  is_current",
            " |  is_enabled",
        ], id="Launcher"),
        pytest.param(vorlix.apps, [
            " |  keys(self) -> list[str]",
            " |  __contains__(self, key: str) -> bool",
            " |  paused",
            " |  running",
        ], id="apps"),
        pytest.param(vorlix.launchers, [
            " |  keys(self) -> list[str]",
            " |  __contains__(self, key: str) -> bool",
            " |  current",
        ], id="launchers"),
    ])
    def test_renders(self, obj, lines):
        text = helped(obj)
        missing = [line for line in lines if line not in text.splitlines()]
        assert missing == [], text

    def test_logs_shows_its_whole_signature(self):
        (line,) = [line for line in helped(vorlix.Launcher).splitlines() if "logs(" in line]
        assert line.startswith(" |  logs(self, _onlogline: ")
        assert "Callable[[str], None] | None = None) -> list[str] | None" in line

    def test_plain_text_has_no_markup(self):
        text = pydoc.render_doc(vorlix, renderer=pydoc.plaintext)
        assert "\b" not in text
        assert "vorlix(*args: str) -> str" in text


class TestSignatures:
    App, Launcher = vorlix.App, vorlix.Launcher
    AppRegistry, LauncherRegistry = type(vorlix.apps), type(vorlix.launchers)

    @pytest.mark.parametrize("obj, text", [
        (vorlix.vorlix, "(*args: str) -> str"),
        (App, "(name: str) -> None"),
        (App.__init__, "(self, name: str) -> None"),
        (App.is_running.fget, "(self) -> bool"),
        (App.is_paused.fget, "(self) -> bool"),
        (App.start, "(self) -> None"),
        (App.stop, "(self) -> None"),
        (App.pause, "(self) -> None"),
        (App.resume, "(self) -> None"),
        (App("x").resume, "() -> None"),
        (AppRegistry, "()"),
        (AppRegistry.keys, "(self) -> list[str]"),
        (AppRegistry.__contains__, "(self, key: str) -> bool"),
        (AppRegistry.__getitem__, "(self, key: str) -> vorlix._app.App"),
        (AppRegistry.running.fget, "(self) -> dict[str, vorlix._app.App]"),
        (AppRegistry.paused.fget, "(self) -> dict[str, vorlix._app.App]"),
        (vorlix.apps.keys, "() -> list[str]"),
        (vorlix.apps.__getitem__, "(key: str) -> vorlix._app.App"),
        (Launcher, "(name: str) -> None"),
        (Launcher.__init__, "(self, name: str) -> None"),
        (Launcher.logs, "(self, _onlogline: collections.abc.Callable[[str], None] | None = None)"
                        " -> list[str] | None"),
        (Launcher.start, "(self) -> None"),
        (Launcher.stop, "(self) -> None"),
        (Launcher.enable, "(self, start: bool = False) -> None"),
        (Launcher.is_current.fget, "(self) -> bool"),
        (Launcher.is_enabled.fget, "(self) -> bool"),
        (Launcher.is_active.fget, "(self) -> bool"),
        (Launcher("x").enable, "(start: bool = False) -> None"),
        (LauncherRegistry, "()"),
        (LauncherRegistry.keys, "(self) -> list[str]"),
        (LauncherRegistry.__contains__, "(self, key: str) -> bool"),
        (LauncherRegistry.__getitem__, "(self, key: str) -> vorlix._launcher.Launcher"),
        (LauncherRegistry.current.fget, "(self) -> vorlix._launcher.Launcher"),
        (LauncherRegistry.switch,
         "(self, launcher: vorlix._launcher.Launcher | str, start: bool = False) -> None"),
        (vorlix.launchers.switch,
         "(launcher: vorlix._launcher.Launcher | str, start: bool = False) -> None"),
    ], ids=lambda v: None if isinstance(v, str) else getattr(v, "__qualname__", type(v).__name__))
    def test_text(self, obj, text):
        assert str(inspect.signature(obj)) == text

    def test_error_type_inspects_like_any_exception_subclass(self):
        def outcome(cls):
            try:
                return str(inspect.signature(cls))
            except ValueError:
                return ValueError

        class Plain(Exception):
            pass

        assert outcome(vorlix.VorlixException) == outcome(Plain)


class TestSession:
    def test_typical_session(self, sim):
        apps, launchers = vorlix.apps, vorlix.launchers

        assert apps.keys() == DEFAULT_APPS
        assert list(apps.running) == ["mail", "music"]
        assert list(apps.paused) == ["maps"]
        assert "camera" in apps
        camera = apps["camera"]
        assert isinstance(camera, vorlix.App) and camera.name == "camera"
        assert not camera.is_running
        camera.start()
        assert camera.is_running
        camera.pause()
        assert camera.is_paused
        camera.resume()
        assert camera.is_running
        camera.stop()
        assert (camera.is_running, camera.is_paused) == (False, False)
        with pytest.raises(vorlix.VorlixException) as refused:
            camera.stop()
        assert refused.value.args == ("\nvorlix: stop-app: camera is not running\n",)

        assert launchers.keys() == DEFAULT_LAUNCHERS
        assert launchers.current.name == "home"
        kiosk = launchers["kiosk"]
        assert (kiosk.is_current, kiosk.is_enabled, kiosk.is_active) == (False, False, False)
        launchers.switch(kiosk)
        assert launchers.current.name == "kiosk"
        assert (kiosk.is_current, kiosk.is_enabled, kiosk.is_active) == (True, True, False)
        launchers.switch("car mode", start=True)
        car = launchers.current
        assert isinstance(car, vorlix.Launcher) and car.name == "car mode"
        assert car.is_active
        assert vorlix.vorlix("status").startswith("Current view: car mode [+]\n")

        assert sim.calls() == [
            ["list-apps"],
            ["list-running-apps"],
            ["list-paused-apps"],
            ["list-apps"],
            ["list-apps"],
            ["list-running-apps"],
            ["start-app", "camera"],
            ["list-running-apps"],
            ["pause-app", "camera"],
            ["list-paused-apps"],
            ["resume-app", "camera"],
            ["list-running-apps"],
            ["stop-app", "camera"],
            ["list-running-apps"],
            ["list-paused-apps"],
            ["stop-app", "camera"],
            ["list-launchers"],
            ["status"],
            ["list-launchers"],
            ["is-current-launcher", "kiosk"],
            ["is-enabled-launcher", "kiosk"],
            ["is-active-launcher", "kiosk"],
            ["switch-launcher", "kiosk"],
            ["status"],
            ["is-current-launcher", "kiosk"],
            ["is-enabled-launcher", "kiosk"],
            ["is-active-launcher", "kiosk"],
            ["switch-launcher", "--start", "car mode"],
            ["status"],
            ["is-active-launcher", "car mode"],
            ["status"],
        ]
