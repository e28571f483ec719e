"""Every public operation of the package, each as a function that performs it
once against the fake device (fakes.py) and checks the answer, raising
AssertionError when it is wrong.  The leak checks repeat them; the load
checks run them from many threads at once, so none of them changes any
shared state."""

from __future__ import annotations

import inspect
import pickle

from fakes import (
    APPS, CURRENT, LAUNCHERS, LISTINGS, PAUSED, REFUSAL_ERR, REFUSAL_OUT,
    REFUSED, RUNNING, YES, distinct_keys,
)


def raises(kind, action, *, args=None):
    try:
        action()
    except kind as error:
        if args is not None:
            assert error.args == args, (error.args, args)
        return error
    raise AssertionError(f"no {kind.__name__}")


def make_operations(vx):
    App, Launcher = vx.App, vx.Launcher
    apps, launchers = vx.apps, vx.launchers
    runner, VorlixException = vx.vorlix, vx.VorlixException
    refusal = (REFUSAL_OUT + "\n" + REFUSAL_ERR,)

    def runner_output():
        assert runner("list-apps") == LISTINGS["list-apps"]

    def runner_failure():
        raises(VorlixException, lambda: runner("start-app", REFUSED), args=refusal)
        raises(VorlixException, lambda: runner(), args=("\nusage\n",))

    def runner_refuses_keywords():
        raises(TypeError, lambda: runner("list-apps", check=True))

    def app_registry():
        assert apps.keys() == APPS
        assert "mail" in apps and "" in apps
        assert "Mail" not in apps and 5 not in apps and None not in apps
        assert apps["car mode"].name == "car mode"
        raises(KeyError, lambda: apps["nope"], args=())
        raises(KeyError, lambda: apps[0], args=())

    def app_listings():
        running = apps.running
        assert list(running) == distinct_keys(RUNNING)
        assert all(type(app) is App and app.name == name for name, app in running.items())
        assert list(apps.paused) == distinct_keys(PAUSED)

    def app_states():
        assert App("mail").is_running is True
        assert App("notes").is_running is False
        assert App("notes").is_paused is True
        assert App(name="mail ").is_paused is False
        raises(TypeError, lambda: App([]).is_running)  # unhashable name

    def app_actions():
        app = App("mail")
        assert app.start() is None and app.stop() is None
        assert app.pause() is None and app.resume() is None
        raises(VorlixException, App(REFUSED).pause, args=refusal)

    def app_wrong_calls():
        raises(TypeError, lambda: App())
        raises(TypeError, lambda: App("a", "b"))
        raises(TypeError, lambda: App(nmae="a"))  # with a "did you mean"
        raises(TypeError, lambda: App("a").start(True))
        raises(TypeError, lambda: App("a").stop(force=True))
        raises(TypeError, lambda: type(apps)(1))
        handle = App("a")
        del handle.name
        raises(AttributeError, handle.start)
        raises(AttributeError, lambda: handle.is_running)

    def launcher_registry():
        assert launchers.keys() == LAUNCHERS
        assert "kiosk" in launchers and "Kiosk" not in launchers
        assert launchers["car mode"].name == "car mode"
        raises(KeyError, lambda: launchers["nope"], args=())
        assert launchers.current.name == CURRENT
        raises(TypeError, lambda: launchers.current())

    def launcher_switch():
        assert launchers.switch("home") is None
        assert launchers.switch(Launcher("kiosk"), start=True) is None
        assert launchers.switch(launchers["home"], 1) is None
        raises(VorlixException, lambda: launchers.switch(REFUSED), args=refusal)

    def launcher_states():
        for name in ("home", "kiosk", "car mode"):
            launcher = Launcher(name)
            assert launcher.is_current is (name in YES["is-current-launcher"])
            assert launcher.is_enabled is (name in YES["is-enabled-launcher"])
            assert launcher.is_active is (name in YES["is-active-launcher"])

    def launcher_actions():
        launcher = Launcher("home")
        assert launcher.start() is None and launcher.stop() is None
        assert launcher.enable() is None and launcher.enable(True) is None
        assert launcher.enable(start=0) is None
        raises(VorlixException, Launcher(REFUSED).stop, args=refusal)
        raises(VorlixException, lambda: Launcher(REFUSED).enable(True), args=refusal)

    def launcher_refusals():
        raises(NotImplementedError, Launcher("home").logs, args=())
        raises(NotImplementedError, lambda: Launcher("home").logs(print), args=())
        raises(TypeError, lambda: Launcher("home").logs(None, None))
        raises(TypeError, lambda: Launcher("home").enable(strat=True))

        class Untestable:
            def __bool__(self):
                raise ZeroDivisionError

        raises(ZeroDivisionError, lambda: Launcher("home").enable(Untestable()))

    def introspection():
        assert str(inspect.signature(App.start)) == "(self) -> None"
        assert list(Launcher.enable.__annotations__) == ["start", "return"]
        assert App.__init__.__code__.co_varnames[:2] == ("self", "name")
        assert launchers.switch.__func__.__annotate__(1)["start"] is bool
        assert pickle.loads(pickle.dumps(runner)) is runner
        assert repr(apps.keys.__func__).startswith("<function API.keys at ")
        assert type(type(launchers)()).__name__ == "API"

    return {
        name: operation
        for name, operation in locals().items()
        if callable(operation) and operation.__qualname__.startswith("make_operations.<locals>.")
        and name != "raises"
    }
