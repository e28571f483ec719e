"""Launchers: what a Launcher handle and the launchers registry ask of the
control tool, and what they make of its answers.

Most classes here swap the module's runner (`vorlix._launcher.vorlix`) or
`subprocess.call` for recording fakes, so a test sees exactly the arguments
handed over and can feed back any answer; TestThroughTheTool drives the
simulated device end to end.
"""

import builtins
import subprocess
import types

import pytest

import vorlix
import vorlix._launcher as launcher_module
from vorlix import Launcher, VorlixException

TOOL = "/opt/bin/vorlix"
QUERIES = [
    ("is_current", "is-current-launcher"),
    ("is_enabled", "is-enabled-launcher"),
    ("is_active", "is-active-launcher"),
]


class FakeRunner:
    """Stands in for the command runner: records every call and answers a
    sub-command from `outputs`."""

    def __init__(self):
        self.calls = []
        self.outputs = {}

    def __call__(self, *args):
        self.calls.append(args)
        return self.outputs.get(args[0], "output nobody should read\n")


class FakeCall:
    """Stands in for subprocess.call: records every call, returns `status`."""

    def __init__(self, status=0):
        self.calls = []
        self.status = status

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.status


class Undecided:
    def __bool__(self):
        raise ValueError("undecided")


@pytest.fixture
def runner(monkeypatch):
    fake = FakeRunner()
    monkeypatch.setattr(launcher_module, "vorlix", fake)
    return fake


@pytest.fixture(params=["module replaced", "call replaced"])
def call(request, monkeypatch):
    """A fake subprocess.call, installed either by rebinding the module's
    `subprocess` or by replacing `call` on the real subprocess module."""
    fake = FakeCall()
    if request.param == "module replaced":
        monkeypatch.setattr(launcher_module, "subprocess", types.SimpleNamespace(call=fake))
    else:
        monkeypatch.setattr(subprocess, "call", fake)
    return fake


@pytest.fixture
def namespace():
    """The module's namespace, restored afterwards in its original order:
    deleting a name and setting it again would move it to the end."""
    names = vars(launcher_module)
    saved = dict(names)
    yield names
    names.clear()
    names.update(saved)


class TestActions:
    @pytest.mark.parametrize("action, word", [("start", "start-launcher"), ("stop", "stop-launcher")])
    def test_start_and_stop_pass_word_and_name(self, runner, action, word):
        assert getattr(Launcher("a"), action)() is None
        assert runner.calls == [(word, "a")]

    @pytest.mark.parametrize(
        "enable, expected",
        [
            (lambda h: h.enable(), ("switch-launcher", "a")),
            (lambda h: h.enable(False), ("switch-launcher", "a")),
            (lambda h: h.enable(start=0), ("switch-launcher", "a")),
            (lambda h: h.enable(None), ("switch-launcher", "a")),
            (lambda h: h.enable(""), ("switch-launcher", "a")),
            (lambda h: h.enable(True), ("switch-launcher", "--start", "a")),
            (lambda h: h.enable(start=True), ("switch-launcher", "--start", "a")),
            (lambda h: h.enable(1), ("switch-launcher", "--start", "a")),
            (lambda h: h.enable("x"), ("switch-launcher", "--start", "a")),
            (lambda h: h.enable([1]), ("switch-launcher", "--start", "a")),
        ],
    )
    def test_enable_puts_start_option_before_name_for_any_true_value(self, runner, enable, expected):
        assert enable(Launcher("a")) is None
        assert runner.calls == [expected]

    def test_failing_truth_test_of_start_runs_nothing(self, runner):
        with pytest.raises(ValueError, match="undecided"):
            Launcher("a").enable(Undecided())
        assert runner.calls == []

    def test_truth_test_comes_before_the_runner_lookup(self, namespace):
        del namespace["vorlix"]
        with pytest.raises(ValueError, match="undecided"):
            Launcher("a").enable(Undecided())

    @pytest.mark.parametrize("new_name", ["b", 5, b"raw"])
    def test_name_is_read_at_each_call_and_passed_unconverted(self, runner, new_name):
        handle = Launcher("a")
        handle.name = new_name
        handle.stop()
        handle.enable(True)
        assert runner.calls == [("stop-launcher", new_name), ("switch-launcher", "--start", new_name)]
        assert all(call[-1] is new_name for call in runner.calls)

    def test_runner_is_looked_up_at_every_call(self, monkeypatch):
        first, second = FakeRunner(), FakeRunner()
        handle = Launcher("a")
        monkeypatch.setattr(launcher_module, "vorlix", first)
        handle.start()
        monkeypatch.setattr(launcher_module, "vorlix", second)
        handle.start()
        assert first.calls == second.calls == [("start-launcher", "a")]

    @pytest.mark.parametrize("action", ["start", "stop", "enable"])
    def test_missing_runner_is_a_name_error_unless_builtins_have_one(self, namespace, monkeypatch, action):
        del namespace["vorlix"]
        with pytest.raises(NameError, match="^name 'vorlix' is not defined$"):
            getattr(Launcher("a"), action)()
        fallback = FakeRunner()
        monkeypatch.setattr(builtins, "vorlix", fallback, raising=False)
        getattr(Launcher("a"), action)()
        assert len(fallback.calls) == 1

    def test_handles_with_one_name_are_distinct_and_unequal(self):
        first, second = Launcher("a"), Launcher("a")
        assert first is not second
        assert first != second
        assert len({first, second}) == 2


class TestStateQueries:
    @pytest.mark.parametrize("prop, word", QUERIES)
    @pytest.mark.parametrize(
        "status, expected",
        [(0, True), (False, True), (0.0, True), (1, False), (255, False), (-9, False), ("0", False), (None, False)],
    )
    def test_one_list_argument_and_the_status_compared_with_zero(self, call, prop, word, status, expected):
        call.status = status
        assert getattr(Launcher("a"), prop) is expected
        [(args, kwargs)] = call.calls
        assert args == ([TOOL, word, "a"],) and type(args[0]) is list
        assert kwargs == {}

    def test_name_is_read_at_each_read(self, call):
        handle = Launcher("a")
        handle.is_active
        handle.name = 7
        handle.is_active
        assert [args[0][2] for args, _ in call.calls] == ["a", 7]

    def test_calling_a_query_runs_it_then_fails_on_the_bool(self, call):
        with pytest.raises(TypeError, match="'bool' object is not callable"):
            Launcher("a").is_active()
        assert len(call.calls) == 1

    @pytest.mark.parametrize("prop", [prop for prop, _ in QUERIES])
    def test_queries_are_read_only(self, prop):
        handle = Launcher("a")
        with pytest.raises(AttributeError):
            setattr(handle, prop, True)
        with pytest.raises(AttributeError):
            delattr(handle, prop)
        assert prop not in vars(handle)

    def test_subprocess_is_looked_up_at_every_read(self, monkeypatch):
        first, second = FakeCall(0), FakeCall(1)
        handle = Launcher("a")
        monkeypatch.setattr(launcher_module, "subprocess", types.SimpleNamespace(call=first))
        assert handle.is_enabled is True
        monkeypatch.setattr(launcher_module, "subprocess", types.SimpleNamespace(call=second))
        assert handle.is_enabled is False
        assert len(first.calls) == len(second.calls) == 1

    @pytest.mark.parametrize("prop", [prop for prop, _ in QUERIES])
    def test_missing_subprocess_is_a_name_error(self, namespace, sim, prop):
        del namespace["subprocess"]
        with pytest.raises(NameError, match="^name 'subprocess' is not defined$"):
            getattr(Launcher("home"), prop)
        assert sim.calls() == []


class TestLogs:
    @pytest.mark.parametrize(
        "call_logs",
        [
            lambda h, cb: h.logs(),
            lambda h, cb: h.logs(None),
            lambda h, cb: h.logs(cb),
            lambda h, cb: h.logs(_onlogline=cb),
            lambda h, cb: h.logs(print),
        ],
    )
    def test_raises_bare_not_implemented_and_runs_nothing(self, sim, call_logs):
        seen = []
        with pytest.raises(NotImplementedError) as excinfo:
            call_logs(Launcher("home"), seen.append)
        assert excinfo.value.args == ()
        assert str(excinfo.value) == ""
        assert seen == []
        assert sim.calls() == []


class TestRegistryLookup:
    @pytest.mark.parametrize(
        "output, names",
        [
            ("a\nb\n", ["a", "b"]),
            ("a\nb", ["a", "b"]),
            ("", []),
            ("a\n\nb\n", ["a", "", "b"]),
            (" a \nA\n", [" a ", "A"]),
            ("b\na\nb\n", ["b", "a", "b"]),
            ("a\r\nb\x0bc\n", ["a", "b", "c"]),
        ],
    )
    def test_keys_are_the_listing_split_into_lines(self, runner, output, names):
        runner.outputs["list-launchers"] = output
        assert vorlix.launchers.keys() == names
        assert runner.calls == [("list-launchers",)]

    @pytest.mark.parametrize(
        "key, expected",
        [("a", True), ("b", True), ("c", False), ("", True), (" a", False), ("A", False), (5, False), (None, False)],
    )
    def test_membership_runs_the_listing_once(self, runner, key, expected):
        runner.outputs["list-launchers"] = "a\n\nb\n"
        assert (key in vorlix.launchers) is expected
        assert runner.calls == [("list-launchers",)]

    @pytest.mark.parametrize("key", ["a", ""])
    def test_item_is_a_new_handle_named_by_the_key_object(self, runner, key):
        runner.outputs["list-launchers"] = "a\n\nb\n"
        key = type("Key", (str,), {})(key)
        handle = vorlix.launchers[key]
        assert type(handle) is Launcher
        assert handle.name is key
        assert runner.calls == [("list-launchers",)]

    def test_unlisted_item_is_a_bare_key_error(self, runner):
        runner.outputs["list-launchers"] = "a\nb\n"
        with pytest.raises(KeyError) as excinfo:
            vorlix.launchers["c"]
        assert excinfo.value.args == ()
        assert runner.calls == [("list-launchers",)]

    def test_two_lookups_give_distinct_handles(self, runner):
        runner.outputs["list-launchers"] = "a\n"
        first, second = vorlix.launchers["a"], vorlix.launchers["a"]
        assert first is not second and first != second

    def test_item_uses_the_module_launcher_class_after_the_listing(self, runner, namespace):
        runner.outputs["list-launchers"] = "a\n"
        custom = type("Custom", (Launcher,), {})
        namespace["Launcher"] = custom
        assert type(vorlix.launchers["a"]) is custom
        del namespace["Launcher"]
        with pytest.raises(NameError, match="^name 'Launcher' is not defined$"):
            vorlix.launchers["a"]
        assert runner.calls == [("list-launchers",)] * 2

    def test_subclass_keys_serve_membership_and_items(self, runner):
        class Fixed(launcher_module.API):
            def keys(self):
                return ["only"]

        registry = Fixed()
        assert "only" in registry and "a" not in registry
        assert registry["only"].name == "only"
        with pytest.raises(KeyError):
            registry["a"]
        assert runner.calls == []

    def test_items_honour_the_class_contains_not_an_instance_attribute(self, runner):
        class Everything(launcher_module.API):
            def __contains__(self, key):
                return True

        assert Everything()["anything"].name == "anything"
        registry = launcher_module.API()
        registry.__contains__ = lambda key: True
        with pytest.raises(KeyError):
            registry["anything"]
        assert runner.calls == [("list-launchers",)]

    def test_no_length_and_iteration_falls_back_to_item_zero(self, runner):
        runner.outputs["list-launchers"] = "a\nb\n"
        with pytest.raises(TypeError):
            len(vorlix.launchers)
        with pytest.raises(KeyError):
            list(vorlix.launchers)
        assert runner.calls == [("list-launchers",)]

    def test_dict_of_the_registry_runs_the_listing_once_plus_once_per_name(self, runner):
        runner.outputs["list-launchers"] = "a\nb\n"
        by_name = dict(vorlix.launchers)
        assert {name: handle.name for name, handle in by_name.items()} == {"a": "a", "b": "b"}
        assert runner.calls == [("list-launchers",)] * 3

    def test_new_registries_behave_like_the_module_one(self, runner):
        runner.outputs["list-launchers"] = "a\n"
        assert launcher_module.API().keys() == ["a"]
        with pytest.raises(TypeError):
            launcher_module.API("extra")


class TestCurrent:
    @pytest.mark.parametrize(
        "output, name",
        [
            ("Current view: home [+]\n", "home"),
            ("0123456789abcdefghijklmnopq\n", "efghijklm"),
            ("abcdefghijklmnopqrstuvwxy\n", "opqrstu"),
            ("abcdefghijklmnopqr\n", ""),
            ("abc\n", ""),
            ("\n", ""),
            ("Current view: car mode [-]\nApps: 6 installed\nCurrent view: other [+]\n", "car mode"),
            ("Current view: ünï [+]", "ünï"),
            ("Current view:  padded  [+]\n", " padded "),
        ],
    )
    def test_name_is_the_first_line_without_14_leading_and_4_trailing_chars(self, runner, output, name):
        runner.outputs["status"] = output
        handle = vorlix.launchers.current
        assert type(handle) is Launcher
        assert handle.name == name
        assert runner.calls == [("status",)]

    def test_no_output_is_an_index_error(self, runner):
        runner.outputs["status"] = ""
        with pytest.raises(IndexError, match="^list index out of range$"):
            vorlix.launchers.current
        assert runner.calls == [("status",)]

    @pytest.mark.parametrize("missing", ["Launcher", "vorlix"])
    def test_both_names_are_looked_up_before_anything_runs(self, runner, namespace, missing):
        del namespace[missing]
        with pytest.raises(NameError, match=f"^name '{missing}' is not defined$"):
            vorlix.launchers.current
        assert runner.calls == []

    def test_reads_are_fresh_and_calling_fails_after_the_run(self, runner):
        runner.outputs["status"] = "Current view: home [+]\n"
        first, second = vorlix.launchers.current, vorlix.launchers.current
        assert first is not second and first != second
        runner.calls.clear()
        with pytest.raises(TypeError, match="'Launcher' object is not callable"):
            vorlix.launchers.current()
        assert runner.calls == [("status",)]

    def test_current_is_read_only(self):
        with pytest.raises(AttributeError):
            vorlix.launchers.current = Launcher("a")


class TestSwitch:
    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            (("x",), {}, ("switch-launcher", "x")),
            (("x", True), {}, ("switch-launcher", "--start", "x")),
            (("x",), {"start": True}, ("switch-launcher", "--start", "x")),
            ((), {"launcher": "x", "start": 0}, ("switch-launcher", "x")),
            ((5,), {}, ("switch-launcher", 5)),
        ],
    )
    def test_anything_but_a_handle_becomes_one_without_a_listing(self, runner, args, kwargs, expected):
        assert vorlix.launchers.switch(*args, **kwargs) is None
        assert runner.calls == [expected]

    def test_handle_from_item_lookup(self, runner):
        runner.outputs["list-launchers"] = "a\nx\n"
        vorlix.launchers.switch(vorlix.launchers["x"])
        assert runner.calls == [("list-launchers",), ("switch-launcher", "x")]

    def test_subclass_handle_uses_its_own_enable_with_start_unconverted(self, runner):
        seen = []

        class Recording(Launcher):
            def enable(self, *args, **kwargs):
                seen.append((self, args, kwargs))
                return "ignored"

        handle, start = Recording("a"), object()
        assert vorlix.launchers.switch(handle, start) is None
        assert seen == [(handle, (start,), {})]
        assert runner.calls == []

    def test_other_values_are_wrapped_by_the_module_launcher_class(self, runner, namespace):
        seen = []

        class Recording(Launcher):
            def enable(self, start):
                seen.append((self.name, start))

        namespace["Launcher"] = Recording
        vorlix.launchers.switch("x", "yes")
        assert seen == [("x", "yes")]
        del namespace["Launcher"]
        with pytest.raises(NameError, match="^name 'Launcher' is not defined$"):
            vorlix.launchers.switch("x")
        assert runner.calls == []

    def test_failing_truth_test_of_start_runs_nothing(self, runner):
        with pytest.raises(ValueError, match="undecided"):
            vorlix.launchers.switch("x", Undecided())
        assert runner.calls == []


class TestThroughTheTool:
    """The real runner and subprocess.call against the simulated device,
    whose default launchers are home, kiosk and "car mode", home being
    current, enabled and active."""

    @pytest.mark.parametrize("prop, word", QUERIES)
    @pytest.mark.parametrize(
        "failure, expected",
        [
            (None, True),
            ({"status": 0, "stdout": "yes\n"}, True),
            ({"status": 1}, False),
            ({"status": 3, "stderr": "broken\n"}, False),
            ({"signal": "KILL"}, False),
            ({"signal": "TERM"}, False),
        ],
    )
    def test_state_queries_read_only_the_exit_status(self, sim, capfd, prop, word, failure, expected):
        if failure is not None:
            sim.fail(word, **failure)
        assert getattr(Launcher("home"), prop) is expected
        assert sim.calls() == [[word, "home"]]

    def test_listing_state_and_current_follow_the_device(self, sim):
        assert vorlix.launchers.keys() == ["home", "kiosk", "car mode"]
        kiosk, home = vorlix.launchers["kiosk"], Launcher("home")
        assert not (kiosk.is_current or kiosk.is_enabled or kiosk.is_active)
        vorlix.launchers.switch(kiosk, start=True)
        assert kiosk.is_current and kiosk.is_enabled and kiosk.is_active
        assert not home.is_current and not home.is_enabled
        home.stop()
        assert not home.is_active
        assert vorlix.launchers.current.name == "kiosk"

    def test_query_output_reaches_the_callers_own_streams(self, sim, capfd):
        sim.fail("is-enabled-launcher", status=1, stdout="tool says no\n", stderr="tool warns\n")
        capfd.readouterr()
        assert Launcher("home").is_enabled is False
        assert capfd.readouterr() == ("tool says no\n", "tool warns\n")

    def test_action_output_is_captured_and_dropped(self, sim, capfd):
        sim.fail("start-launcher", status=0, stdout="chatter\n", stderr="noise\n")
        capfd.readouterr()
        assert Launcher("home").start() is None
        assert capfd.readouterr() == ("", "")

    @pytest.mark.parametrize(
        "operation, word",
        [
            (lambda: Launcher("home").stop(), "stop-launcher"),
            (lambda: Launcher("home").enable(), "switch-launcher"),
            (lambda: vorlix.launchers.switch("home"), "switch-launcher"),
            (lambda: "home" in vorlix.launchers, "list-launchers"),
            (lambda: vorlix.launchers.current, "status"),
        ],
    )
    def test_tool_failures_raise_vorlix_exception(self, sim, operation, word):
        sim.fail(word, status=2, stdout="out\n", stderr="err\n")
        with pytest.raises(VorlixException) as excinfo:
            operation()
        assert excinfo.value.args == ("out\n\nerr\n",)

    def test_switch_to_an_unlisted_name_is_the_tools_refusal(self, sim):
        with pytest.raises(VorlixException, match="no such launcher"):
            vorlix.launchers.switch("nowhere")
        assert sim.calls() == [["switch-launcher", "nowhere"]]

    @pytest.mark.parametrize(
        "operation, calls",
        [
            (lambda: Launcher("kiosk").start(), [["start-launcher", "kiosk"]]),
            (lambda: Launcher("home").stop(), [["stop-launcher", "home"]]),
            (lambda: Launcher("kiosk").enable(), [["switch-launcher", "kiosk"]]),
            (lambda: Launcher("kiosk").enable(True), [["switch-launcher", "--start", "kiosk"]]),
            (lambda: Launcher("home").is_current, [["is-current-launcher", "home"]]),
            (lambda: Launcher("home").is_enabled, [["is-enabled-launcher", "home"]]),
            (lambda: Launcher("home").is_active, [["is-active-launcher", "home"]]),
            (lambda: vorlix.launchers.keys(), [["list-launchers"]]),
            (lambda: "car mode" in vorlix.launchers, [["list-launchers"]]),
            (lambda: vorlix.launchers["car mode"], [["list-launchers"]]),
            (lambda: vorlix.launchers.current, [["status"]]),
            (lambda: vorlix.launchers.switch("kiosk"), [["switch-launcher", "kiosk"]]),
            (lambda: vorlix.launchers.switch("kiosk", True), [["switch-launcher", "--start", "kiosk"]]),
            (
                lambda: vorlix.launchers.switch(vorlix.launchers["kiosk"]),
                [["list-launchers"], ["switch-launcher", "kiosk"]],
            ),
        ],
    )
    def test_argument_vectors(self, sim, operation, calls):
        operation()
        assert sim.calls() == calls

    @pytest.mark.parametrize(
        "name", ["car mode", 'say "hi"', "it's", "$(touch x); rm *", "-x", "--start", "", "ünï"]
    )
    def test_awkward_names_reach_the_tool_as_one_argument(self, sim, name):
        sim.set("launchers", f"home\n{name}\n")
        handle = vorlix.launchers[name]
        handle.start()
        handle.enable()
        assert handle.is_enabled and handle.is_active
        assert sim.calls() == [
            ["list-launchers"],
            ["start-launcher", name],
            ["switch-launcher", name],
            ["is-enabled-launcher", name],
            ["is-active-launcher", name],
        ]

    @pytest.mark.parametrize(
        "operation", [lambda h: h.start(), lambda h: h.enable(True), lambda h: h.is_current]
    )
    def test_a_name_that_is_no_argument_fails_before_any_process(self, sim, operation):
        with pytest.raises(TypeError):
            operation(Launcher(5))
        assert sim.calls() == []
