"""Repeating any operation must not make the interpreter hold more
references or more memory blocks: a reference the module forgets to drop
shows up as a count that grows by the number of calls, round after round.

The counts come from the debug interpreter (sys.gettotalrefcount); run
there by `./dev check debug`.  The tool is replaced by in-process fakes, so
that no process, pipe or file takes part and the counts are the module's.
"""

import gc
import importlib.util
import os
import sys
from array import array

import pytest

import vorlix
from fakes import FakeDevice
from operations import make_operations

# Caches of the interpreter and the standard library (signatures, method
# caches, free lists) fill over the first calls, some over hundreds: the
# warm-up goes on until a round leaves both counts where they were, or
# gives up after its last round, and then the measured rounds follow.
MAX_WARM_UP_ROUNDS = 60
ROUNDS = 8
CALLS_PER_ROUND = 25

debug = hasattr(sys, "gettotalrefcount")
if not debug and os.environ.get("VORLIX_REQUIRE_DEBUG") == "1":
    raise RuntimeError("the leak checks need the debug interpreter, and this is not it")
pytestmark = pytest.mark.skipif(not debug, reason="needs the debug interpreter")

OPERATIONS = make_operations(vorlix)


def rounds(operation, count):
    """Growth of the reference and block counts in each of `count` rounds.

    The counts are kept in C arrays: Python ints kept in a list would be
    objects of their own and show up as growth.
    """
    refs = array("q", bytes(8 * (count + 1)))
    blocks = array("q", bytes(8 * (count + 1)))
    for i in range(count + 1):
        if i:
            for _ in range(CALLS_PER_ROUND):
                operation()
        gc.collect()
        refs[i] = sys.gettotalrefcount()
        blocks[i] = sys.getallocatedblocks()
    return ([refs[i + 1] - refs[i] for i in range(count)],
            [blocks[i + 1] - blocks[i] for i in range(count)])


def growth(operation):
    for _ in range(MAX_WARM_UP_ROUNDS):
        (refs,), (blocks,) = rounds(operation, 1)
        if refs <= 0 and blocks <= 0:
            break
    return rounds(operation, ROUNDS)


def assert_flat(operation):
    refs, blocks = growth(operation)
    # A leak grows every round, by at least one per call; what is left of
    # the interpreter's own noise (a few references now and then, from its
    # caches) comes and goes, and stays below that.
    assert not all(delta >= CALLS_PER_ROUND for delta in refs), \
        f"references grow every round: {refs}"
    assert not all(delta >= CALLS_PER_ROUND for delta in blocks), \
        f"memory blocks grow every round: {blocks}"


@pytest.fixture
def device(monkeypatch):
    device = FakeDevice()
    device.install(monkeypatch, vorlix)
    return device


@pytest.fixture(params=["runner", "python runner"])
def through(request, monkeypatch, device):
    """The handles and registries call the package's own runner, or a
    plain Python function in its place (a different calling convention)."""
    if request.param == "python runner":
        real = vorlix._util.vorlix

        def runner(*args):
            return real(*args)

        monkeypatch.setattr(vorlix._app, "vorlix", runner)
        monkeypatch.setattr(vorlix._launcher, "vorlix", runner)
    return request.param


class TestEveryOperation:
    @pytest.mark.parametrize("name", sorted(OPERATIONS))
    def test_repeating_holds_nothing(self, through, name):
        assert_flat(OPERATIONS[name])

    def test_the_check_sees_a_leak(self, device):
        # The method must be able to fail: one kept reference per call.
        kept = []

        def leaky():
            vorlix.apps.keys()
            kept.append(object())

        with pytest.raises(AssertionError, match="grow every round"):
            assert_flat(leaky)


class TestPathsBesideTheTool:
    def test_status_with_no_output(self, device):
        device.listings["status"] = ""

        def current():
            with pytest.raises(IndexError, match="list index out of range"):
                vorlix.launchers.current

        assert_flat(current)

    def test_names_missing_from_the_module(self, device, monkeypatch):
        def missing():
            for module, name, action in (
                (vorlix._app, "vorlix", lambda: vorlix.App("a").start()),
                (vorlix._app, "api", lambda: vorlix.App("a").is_running),
                (vorlix._app, "App", lambda: vorlix.apps["mail"]),
                (vorlix._launcher, "subprocess", lambda: vorlix.Launcher("a").is_active),
                (vorlix._launcher, "Launcher", lambda: vorlix.launchers.current),
                # The annotate functions, which look the names up again.
                (vorlix._launcher, "Callable", lambda: vorlix.Launcher.logs.__annotate__(1)),
                (vorlix._app, "App", lambda: vorlix._app.API.running.fget.__annotate__(1)),
                (vorlix._util, "subprocess", lambda: vorlix.vorlix("status")),
            ):
                value = getattr(module, name)
                delattr(module, name)
                try:
                    with pytest.raises(NameError, match=f"name '{name}' is not defined"):
                        action()
                finally:
                    setattr(module, name, value)

        assert_flat(missing)

    def test_failure_message_from_odd_results(self, monkeypatch):
        class Result:
            returncode = -9
            stdout = None
            stderr = b"raw"

        monkeypatch.setattr(vorlix._util, "subprocess", type(sys)("fake"))
        vorlix._util.subprocess.run = lambda *args, **kwargs: Result()

        def failing():
            with pytest.raises(vorlix.VorlixException) as caught:
                vorlix.vorlix("status")
            assert caught.value.args == ("None\nb'raw'",)

        assert_flat(failing)

    def test_new_functions_and_classes(self):
        # Creating handles, registries and reading descriptors builds new
        # objects every time; all of them must go again.
        def make():
            vorlix._app.API()
            vorlix._launcher.API().keys
            vorlix.App.is_running.fget.__code__
            vorlix.Launcher.logs.__annotate__(1)
            vorlix.Launcher.logs.__defaults__
            vorlix.vorlix.__annotations__
            # A module run afresh: its methods' annotate functions, compiled
            # when first asked for, go with the functions and their class.
            spec = importlib.util.find_spec("vorlix._app")
            fresh = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(fresh)
            fresh.API.running.fget.__annotate__(1)
            fresh.App.stop.__annotate__(1)

        assert_flat(make)

    def test_finding_and_listing_the_package_directory(self):
        # The path hook, the directory's finder answering from the table
        # and from the other hooks, and the loaders' answers to runpy.
        hook = sys.path_hooks[0]
        assert hook in sys.meta_path

        def find():
            finder = hook(vorlix.__path__[0])
            assert finder.find_spec("vorlix._util").loader is vorlix._util.__loader__
            assert finder.find_spec("vorlix.missing") is None
            assert len(finder.iter_modules("vorlix.")) == 3
            finder.invalidate_caches()
            with pytest.raises(ImportError):
                hook("elsewhere")
            assert vorlix.__loader__.is_package("vorlix")
            assert vorlix._app.__loader__.get_code("vorlix._app") is None

        assert_flat(find)
