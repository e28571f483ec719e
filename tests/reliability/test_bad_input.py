"""Names of every kind, generated: any text (lone surrogates and NULs
included), bytes, path-like objects, integers, None, and objects whose
__eq__, __hash__, __bool__ or __fspath__ raise.  Whatever the name, every
outcome is the right answer or a Python exception, never a crash; a name
reaches the runner as the very object given, and the tool byte for byte
(the simulator's log shows it), or the standard library refuses it before
the tool starts (NUL: ValueError; text it cannot encode:
UnicodeEncodeError; no text at all: TypeError)."""

import os
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorlix
from simulator import Simulator

FAST = settings(max_examples=1000, deadline=None, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture])
# Every example there starts real tool processes.
SLOW = settings(max_examples=200, deadline=None, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


class Boom(Exception):
    pass


class Hostile:
    """Raises Boom from one special method; behaves plainly otherwise."""

    def __init__(self, where):
        self.where = where

    def __eq__(self, other):
        if self.where == "eq":
            raise Boom("eq")
        if self.where == "eq result":
            return Hostile("bool")
        return NotImplemented

    def __hash__(self):
        if self.where == "hash":
            raise Boom("hash")
        return 7

    def __bool__(self):
        if self.where == "bool":
            raise Boom("bool")
        return True

    def __repr__(self):
        return f"Hostile({self.where!r})"


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        if isinstance(self.path, Exception):
            raise self.path
        return self.path

    def __repr__(self):
        return f"PathLike({self.path!r})"


texts = st.text(st.characters(codec=None), max_size=12)  # every code point, surrogates too
tool_names = st.one_of(
    texts,
    st.binary(max_size=12),
    st.builds(PathLike, st.one_of(texts, st.binary(max_size=12), st.just(Boom("fspath")))),
)
names = st.one_of(
    tool_names,
    st.integers(),
    st.none(),
    st.sampled_from(["eq", "eq result", "hash", "bool", None]).map(Hostile),
    st.floats(allow_nan=True),
    st.tuples(texts),
)


def outcome(action):
    """("ok", value) or ("raised", exception type)."""
    try:
        return "ok", action()
    except Exception as error:  # the outcome is compared, whatever it is
        return "raised", type(error)


def as_tool_argument(name):
    """The bytes the tool must receive for `name`, or the exception type
    the standard library raises instead of starting it."""
    try:
        raw = os.fsencode(name)
    except Exception as error:
        return type(error)
    return ValueError if b"\0" in raw else raw


class Recorder:
    """A runner in place of vorlix: records what it is given and answers
    with a fixed listing."""

    def __init__(self, listing=""):
        self.listing = listing
        self.received = []

    def __call__(self, *args):
        self.received.append(args)
        return self.listing


class TestNamesReachTheRunnerUnchanged:
    @FAST
    @given(name=names)
    def test_handles(self, monkeypatch, name):
        recorder = Recorder()
        monkeypatch.setattr(vorlix._app, "vorlix", recorder)
        monkeypatch.setattr(vorlix._launcher, "vorlix", recorder)
        app, launcher = vorlix.App(name), vorlix.Launcher(name)
        assert app.name is name and launcher.name is name
        for action in (app.start, app.stop, app.pause, app.resume, launcher.start, launcher.stop,
                       launcher.enable, lambda: launcher.enable(True),
                       lambda: vorlix.launchers.switch(name), lambda: vorlix.launchers.switch(name, 1)):
            assert action() is None
        received = recorder.received
        assert [args[:-1] for args in received] == [
            ("start-app",), ("stop-app",), ("pause-app",), ("resume-app",),
            ("start-launcher",), ("stop-launcher",), ("switch-launcher",),
            ("switch-launcher", "--start"), ("switch-launcher",), ("switch-launcher", "--start")]
        assert all(args[-1] is name for args in received)

    @FAST
    @given(start=names)
    def test_start_flag_of_enable_and_switch(self, monkeypatch, start):
        recorder = Recorder()
        monkeypatch.setattr(vorlix._launcher, "vorlix", recorder)
        truth = outcome(lambda: bool(start))
        for action in (lambda: vorlix.Launcher("a").enable(start),
                       lambda: vorlix.launchers.switch("a", start)):
            recorder.received.clear()
            if truth[0] == "raised":
                assert outcome(action) == truth
                assert recorder.received == []
            else:
                assert action() is None
                assert recorder.received == [("switch-launcher", "--start", "a") if truth[1]
                                             else ("switch-launcher", "a")]


class TestRegistriesAnswerRight:
    @FAST
    @given(listing=texts, key=names)
    def test_membership_and_lookup(self, monkeypatch, listing, key):
        monkeypatch.setattr(vorlix._app, "vorlix", Recorder(listing))
        monkeypatch.setattr(vorlix._launcher, "vorlix", Recorder(listing))
        lines = listing.splitlines()
        for registry, handle in ((vorlix.apps, vorlix.App), (vorlix.launchers, vorlix.Launcher)):
            assert registry.keys() == lines
            expected = outcome(lambda: key in lines)
            assert outcome(lambda: key in registry) == expected
            got = outcome(lambda: registry[key])
            if expected == ("ok", True):
                assert got[0] == "ok" and type(got[1]) is handle and got[1].name is key
            elif expected == ("ok", False):
                assert got == ("raised", KeyError)
            else:
                assert got == expected

    @FAST
    @given(listing=texts, name=names)
    def test_listings_and_state_queries(self, monkeypatch, listing, name):
        monkeypatch.setattr(vorlix._app, "vorlix", Recorder(listing))
        lines = listing.splitlines()
        running = vorlix.apps.running
        assert list(running) == list(dict.fromkeys(lines))
        # A line listed once names its handle with the key itself; a repeated
        # one keeps its first place and holds the handle made for its last
        # occurrence, a str of the same text.
        assert all(type(app) is vorlix.App and app.name == line and
                   (app.name is line or lines.count(line) > 1) for line, app in running.items())
        expected = outcome(lambda: name in dict.fromkeys(lines).keys())
        assert outcome(lambda: vorlix.App(name).is_running) == expected
        assert outcome(lambda: vorlix.App(name).is_paused) == expected

    @FAST
    @given(status=texts)
    def test_current_from_any_status(self, monkeypatch, status):
        monkeypatch.setattr(vorlix._launcher, "vorlix", Recorder(status))
        lines = status.splitlines()
        if lines:
            assert vorlix.launchers.current.name == lines[0][14:-4]
        else:
            with pytest.raises(IndexError):
                vorlix.launchers.current


@pytest.fixture
def device(tmp_path, monkeypatch):
    state = tmp_path / "device"
    monkeypatch.setenv("VORLIX_SIM_STATE", str(state))
    return Simulator(state)


class TestNamesReachTheTool:
    @SLOW
    @given(name=names)
    def test_verbatim_or_refused_before_the_tool_starts(self, device, name):
        device.reset()
        argument = as_tool_argument(name)
        operations = [
            ("start-app", lambda: vorlix.App(name).start()),
            ("is-enabled-launcher", lambda: vorlix.Launcher(name).is_enabled),
            ("switch-launcher", lambda: vorlix.launchers.switch(name)),
            ("stop-launcher", lambda: vorlix.vorlix("stop-launcher", name)),
        ]
        for subcommand, action in operations:
            device.clear_log()
            result = outcome(action)
            if isinstance(argument, bytes):
                # The default device knows none of these names (or, if it
                # does, the tool may say yes): an answer or a refusal.  The
                # refusal repeats the name, so a name that is not UTF-8
                # makes the tool's message undecodable.
                allowed = [("raised", vorlix.VorlixException)]
                if outcome(lambda: argument.decode("utf-8"))[0] == "raised":
                    allowed.append(("raised", UnicodeDecodeError))
                assert result[0] == "ok" or result in allowed, result
                if subcommand == "is-enabled-launcher":
                    assert result == ("ok", argument == b"home")
                assert device.calls() == [[subcommand, argument.decode("utf-8", "surrogateescape")]]
            else:
                assert result == ("raised", argument)
                assert device.calls() == []

    @SLOW
    @given(listing=st.text(st.characters(exclude_categories=["Cs"]), max_size=40), key=names)
    def test_any_listing_read_back(self, device, listing, key):
        device.reset()
        device.set("apps", listing)
        device.set("launchers", listing)
        # The runner reads text mode: line ends "\r\n" and "\r" arrive as "\n".
        lines = listing.replace("\r\n", "\n").replace("\r", "\n").splitlines()
        assert vorlix.apps.keys() == lines
        assert outcome(lambda: key in vorlix.launchers) == outcome(lambda: key in lines)
