"""Many threads using the package at once: no crash, no deadlock, and every
answer right.  Runs are bounded (by a count or a few seconds), and joins
have a generous limit, after which a thread still running counts as hung.

With the interpreter's switch interval made tiny, threads change hands
inside the module's calls as often as they can."""

import sys
import threading
import time

import pytest

import vorlix
from fakes import FakeDevice
from operations import make_operations

JOIN_LIMIT = 300  # seconds; only a hang comes near it


@pytest.fixture
def busy_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def hammer(workers, *, seconds=None, rounds=None):
    """Run each worker (a function of one round index) in its own thread,
    all started together, for `seconds` or `rounds`.  Returns the number of
    rounds each ran; raises the first error any of them hit."""
    errors, done = [], [0] * len(workers)
    start = threading.Barrier(len(workers))

    def run(i, worker):
        try:
            start.wait()
            deadline = time.monotonic() + seconds if seconds else None
            n = 0
            while (rounds is None or n < rounds) and (deadline is None or time.monotonic() < deadline):
                worker(n)
                n += 1
            done[i] = n
        except BaseException as error:  # noqa: B902 - any failure of any thread counts
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i, w), daemon=True) for i, w in enumerate(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_LIMIT)
    assert not any(t.is_alive() for t in threads), "threads hung"
    if errors:
        raise errors[0]
    return done


class TestThroughFakes:
    def test_sixteen_threads_every_operation(self, monkeypatch, busy_switching):
        device = FakeDevice()
        device.install(monkeypatch, vorlix)
        operations = list(make_operations(vorlix).values())

        def worker(offset):
            def one_round(n):
                # Each thread walks the operations from its own starting
                # point, so that different ones overlap.
                for k in range(len(operations)):
                    operations[(offset + n + k) % len(operations)]()
            return one_round

        done = hammer([worker(i) for i in range(16)], seconds=4)
        assert all(n > 0 for n in done), done
        assert device.runs > 0 and device.calls > 0

    def test_runner_rebound_while_threads_call_it(self, monkeypatch, busy_switching):
        # The handles look the runner up at every call; rebinding it from
        # another thread must never hand a call a dead object.
        device = FakeDevice()
        device.install(monkeypatch, vorlix)
        real = vorlix._util.vorlix
        monkeypatch.setattr(vorlix._app, "vorlix", real)
        monkeypatch.setattr(vorlix._launcher, "vorlix", real)

        def rebinder(n):
            def runner(*args):  # a new function object every time
                return real(*args)
            vorlix._app.vorlix = runner if n % 2 else real
            vorlix._launcher.vorlix = real if n % 2 else runner

        def user(n):
            assert vorlix.apps.keys()[0] == "mail"
            assert vorlix.App("mail").is_running and vorlix.App("notes").is_paused
            vorlix.App("camera").start()
            assert vorlix.launchers.current.name == "kiosk"
            vorlix.Launcher("home").enable(n % 2)

        done = hammer([rebinder] * 2 + [user] * 14, seconds=3)
        assert all(n > 0 for n in done), done


class TestThroughTheSimulator:
    def test_eight_threads_each_driving_its_own_app_and_launcher(self, sim, busy_switching):
        threads = 8
        apps = [f"app {i}" for i in range(threads)]
        launchers = [f"launcher {i}" for i in range(threads)]
        sim.set("apps", "".join(f"{name}\n" for name in ["mail", *apps]))
        sim.set("running", "mail\n")
        sim.set("paused", "")
        sim.set("launchers", "".join(f"{name}\n" for name in ["home", *launchers]))
        sim.set("current", "home\n")
        sim.set("enabled", "home\n")
        sim.set("active", "home\n")
        listing = "".join(f"{name}\n" for name in ["home", *launchers])

        def worker(i):
            app = vorlix.App(apps[i])
            launcher = vorlix.Launcher(launchers[i])

            def one_round(n):
                assert vorlix.apps.keys() == ["mail", *apps]
                assert apps[i] in vorlix.apps and vorlix.apps[apps[i]].name == apps[i]
                assert not app.is_running and not app.is_paused
                app.start()
                assert app.is_running and apps[i] in vorlix.apps.running
                app.pause()
                assert app.is_paused and not app.is_running
                with pytest.raises(vorlix.VorlixException, match="is not running"):
                    app.pause()
                app.resume()
                app.stop()
                assert apps[i] not in vorlix.apps.running
                assert vorlix.vorlix("list-launchers") == listing
                assert vorlix.launchers[launchers[i]].name == launchers[i]
                assert not launcher.is_active
                launcher.start()
                assert launcher.is_active
                launcher.stop()
                assert not launcher.is_active
                assert vorlix.launchers.current.name == "home"
                assert vorlix.Launcher("home").is_current

            return one_round

        done = hammer([worker(i) for i in range(threads)], rounds=3)
        assert done == [3] * threads
        calls = sim.calls()
        assert len(calls) == threads * 3 * 24  # tool runs per round, counted by hand
        for i in range(threads):
            mine = [c for c in calls if c[-1] in (apps[i], launchers[i])]
            assert len(mine) == 3 * 10, mine
        assert sim.lines("running") == ["mail"] and sim.lines("paused") == []
        assert sim.lines("active") == ["home"]
