"""Imports off the usual road: subinterpreters, reloading, submodules taken
out of sys.modules and imported again, and a failed import retried.  Each
case runs in a fresh interpreter of its own (the one running the tests, so
under `./dev check debug` the debug interpreter), since every case changes
what that interpreter has imported for good."""

import os
import subprocess
import sys
import textwrap

import pytest

from simulator import Simulator


def run_child(code, tmp_path, check=True):
    env = {**os.environ, "VORLIX_SIM_STATE": str(tmp_path / "device")}
    Simulator(tmp_path / "device")
    proc = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)
    if check:
        assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


class TestSubinterpreters:
    # Every interpreter sets the package up for itself and lets go of it
    # when it is closed, over and over, before and after the main one
    # imported it; the main interpreter's modules go on working.
    def test_isolated_subinterpreters_come_and_go(self, tmp_path):
        run_child("""
            from concurrent import interpreters

            def use_in_new_interpreter():
                interp = interpreters.create()
                interp.exec("import vorlix._util\\nfrom vorlix import apps\\n"
                            "assert apps['mail'].is_running")
                listing = interp.call(len, [1, 2])  # the interpreter still answers
                interp.close()
                return listing

            assert use_in_new_interpreter() == 2
            import vorlix
            for _ in range(3):
                assert use_in_new_interpreter() == 2
            assert vorlix.launchers.keys() == ["home", "kiosk", "car mode"]
        """, tmp_path)

    def test_legacy_subinterpreters_come_and_go(self, tmp_path):
        # Subinterpreters sharing the main one's GIL and settings, as
        # embedding applications make them.
        run_child("""
            import _interpreters
            import vorlix

            for _ in range(3):
                interp = _interpreters.create(_interpreters.new_config("legacy"))
                failure = _interpreters.exec(interp, "import vorlix._launcher\\n"
                                             "assert vorlix._launcher.api.current.name == 'home'")
                assert failure is None, failure
                _interpreters.destroy(interp)
            assert vorlix.apps.keys()[0] == "mail"
        """, tmp_path)


class TestReload:
    def test_reload_runs_the_package_body_again(self, tmp_path):
        run_child("""
            import importlib
            import vorlix

            before = dict(vars(vorlix))
            for _ in range(3):
                assert importlib.reload(vorlix) is vorlix
            # The same objects again (the submodules are not reloaded), but
            # a new __all__, and from here on the package's own loader.
            for name in ("App", "apps", "Launcher", "launchers", "VorlixException", "vorlix",
                         "_util", "_app", "_launcher"):
                assert getattr(vorlix, name) is before[name], name
            assert vorlix.__all__ == before["__all__"] and vorlix.__all__ is not before["__all__"]
            assert vorlix.__spec__.loader is vorlix.__loader__ is before["__loader__"]
            assert vorlix.__spec__.origin == vorlix.__file__ == before["__file__"]
            assert vorlix.__spec__.submodule_search_locations is vorlix.__path__
            assert vorlix.apps["mail"].is_running
            vorlix.launchers.switch("kiosk")
            assert vorlix.launchers.current.name == "kiosk"
        """, tmp_path)

    def test_reloading_a_submodule_makes_new_classes(self, tmp_path):
        run_child("""
            import importlib
            import vorlix

            old_app, old_registry = vorlix.App, vorlix.apps
            handle = old_registry["mail"]
            module = importlib.reload(vorlix._app)
            assert module is vorlix._app
            assert module.App is not old_app and module.api is not old_registry
            # The package keeps what it bound; the reloaded module's names
            # are used by its own new objects, and the old ones still work.
            assert vorlix.App is old_app and vorlix.apps is old_registry
            assert type(module.api["mail"]) is module.App
            assert type(old_registry["mail"]) is module.App  # App is looked up at each call
            assert handle.is_running and module.App("maps").is_paused
        """, tmp_path)


class TestSubmodulesImportedAgain:
    def test_deleted_app_module_comes_back_new(self, tmp_path):
        run_child("""
            import sys
            import vorlix

            old = sys.modules.pop("vorlix._app")
            import vorlix._app as new
            assert new is not old and vorlix._app is new
            assert new.__loader__ is old.__loader__ and new.__file__ == old.__file__
            assert new.App is not old.App and vorlix.App is old.App
            assert new.vorlix is old.vorlix  # the runner of the untouched _util
            assert type(new.api["mail"]) is new.App and new.api["mail"].is_running
            assert type(vorlix.apps["mail"]) is old.App
        """, tmp_path)

    def test_deleted_util_module_gives_a_second_error_type(self, tmp_path):
        # The handles keep the runner they bound, which raises the error
        # type of the module it came from: catching the new module's
        # VorlixException misses it.  Recorded, not a fault: nothing in
        # the package re-imports its own modules.
        run_child("""
            import sys
            import vorlix

            old = sys.modules.pop("vorlix._util")
            import vorlix._util as new
            assert new.VorlixException is not old.VorlixException
            assert vorlix._app.vorlix is old.vorlix
            try:
                vorlix.App("nope").start()
            except Exception as error:
                assert type(error) is old.VorlixException
            else:
                raise AssertionError("no error")
            try:
                new.vorlix("start-app", "nope")
            except new.VorlixException as error:
                assert "no such app: nope" in str(error)
        """, tmp_path)

    def test_whole_package_deleted_and_imported_again(self, tmp_path):
        run_child("""
            import sys
            import vorlix as first

            handle = first.apps["notes"]
            for name in [n for n in sys.modules if n == "vorlix" or n.startswith("vorlix.")]:
                del sys.modules[name]
            import vorlix as second

            assert second is not first
            # Now the package comes from the package's own finder too.
            assert second.__loader__ is first.__loader__
            assert [n for n in sys.modules if n.startswith("vorlix")] == [
                "vorlix._util", "vorlix._app", "vorlix._launcher", "vorlix"]
            assert second.__all__ == first.__all__
            assert second.App is not first.App
            assert second.apps.keys() == first.apps.keys()
            assert not handle.is_running and second.App("mail").is_running
            assert sys.meta_path.count(sys.meta_path[2]) == 1  # the finder was placed once
        """, tmp_path)


FAILED_IMPORT = """
    import gc
    import sys
    from array import array

    # Loaded beforehand, since its own imports would otherwise meet the
    # block first.
    import subprocess

    BLOCKED = {blocked!r}
    debug = hasattr(sys, "gettotalrefcount")

    def fail_once():
        saved = sys.modules.get(BLOCKED, gc)
        sys.modules[BLOCKED] = None
        try:
            import vorlix
        except ImportError as error:
            assert error.name == BLOCKED, error
        else:
            raise AssertionError("the import did not fail")
        finally:
            if saved is gc:
                del sys.modules[BLOCKED]
            else:
                sys.modules[BLOCKED] = saved
        assert "vorlix" not in sys.modules and "vorlix._launcher" not in sys.modules

    def counts(rounds, per_round=10):
        refs = array("q", bytes(8 * (rounds + 1)))
        blocks = array("q", bytes(8 * (rounds + 1)))
        for i in range(rounds + 1):
            if i:
                for _ in range(per_round):
                    fail_once()
            gc.collect()
            refs[i] = sys.gettotalrefcount()
            blocks[i] = sys.getallocatedblocks()
        return ([refs[i + 1] - refs[i] for i in range(rounds)],
                [blocks[i + 1] - blocks[i] for i in range(rounds)])

    fail_once()
    # What stays loaded after a failure: the submodules that had finished.
    print(sorted(n for n in sys.modules if n.startswith("vorlix")))
    if debug:
        for _ in range(30):
            (refs,), (blocks,) = counts(1)
            if refs <= 0 and blocks <= 0:
                break
        refs, blocks = counts(6)
        assert not all(d > 0 for d in refs), f"references grow with every failed import: {{refs}}"
        assert not all(d > 0 for d in blocks), f"memory blocks grow with every failed import: {{blocks}}"
        print("flat", refs, blocks)
    else:
        for _ in range(20):
            fail_once()

    import vorlix
    assert vorlix.__all__ == ["App", "apps", "Launcher", "launchers", "VorlixException", "vorlix"]
    # The names come from the submodules that survived, not from copies.
    # (Those are bound on the package object that failed: the import
    # system binds a submodule on its package only when it loads it.)
    assert vorlix.App is sys.modules["vorlix._app"].App
    assert vorlix.VorlixException is sys.modules["vorlix._util"].VorlixException
    assert vorlix.launchers is sys.modules["vorlix._launcher"].api
    print("bound", [n for n in ("_util", "_app", "_launcher") if hasattr(vorlix, n)])
    assert [n for n in sys.modules if n.startswith("vorlix")][-1] == "vorlix"
    assert vorlix.apps["mail"].is_running and vorlix.launchers.current.name == "home"
"""


class TestFailedImportRetried:
    @pytest.mark.parametrize("blocked, left_loaded", [
        ("subprocess", []),
        ("collections.abc", ["vorlix._app", "vorlix._util"]),
    ])
    def test_failures_hold_nothing_and_the_retry_works(self, tmp_path, blocked, left_loaded):
        if os.environ.get("VORLIX_REQUIRE_DEBUG") == "1":
            assert hasattr(sys, "gettotalrefcount"), "not the debug interpreter"
        proc = run_child(FAILED_IMPORT.format(blocked=blocked), tmp_path)
        lines = proc.stdout.splitlines()
        assert lines[0] == repr(left_loaded)
        assert hasattr(sys, "gettotalrefcount") == any(line.startswith("flat") for line in lines)
        assert lines[-1] == "bound " + repr([n for n in ("_util", "_app", "_launcher")
                                             if f"vorlix.{n}" not in left_loaded])
