"""App handles and the app registry: how they call the runner, the names
they look up at each call, how listings are read, and what reaches the
caller when the tool fails."""

import builtins
import threading

import pytest

import vorlix
import vorlix._app as app_module
import vorlix._util as util_module
from vorlix import App, VorlixException
from vorlix._app import API

ACTIONS = [("start", "start-app"), ("stop", "stop-app"), ("pause", "pause-app"), ("resume", "resume-app")]
QUERIES = [("is_running", "list-running-apps"), ("is_paused", "list-paused-apps")]
LISTINGS = [("running", "list-running-apps"), ("paused", "list-paused-apps")]


class Runner:
    """Stands in for the command runner: records every call and answers each
    sub-command from `outputs` (an exception there is raised instead)."""

    def __init__(self, outputs=None, result=""):
        self.outputs = dict(outputs or {})
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        answer = self.outputs.get(args[0] if args else None, self.result)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    @property
    def commands(self):
        return [args for args, _ in self.calls]


@pytest.fixture(autouse=True)
def keep_namespace_order():
    # Deleting a module name and putting it back moves it to the end of the
    # namespace; restore the import-time order for tests that check it.
    saved = dict(vars(app_module))
    yield
    namespace = vars(app_module)
    namespace.clear()
    namespace.update(saved)


@pytest.fixture
def runner(monkeypatch):
    fake = Runner()
    monkeypatch.setattr(app_module, "vorlix", fake)
    return fake


class CountingApp:
    """Replaces vorlix._app.App to show which handle came from which call."""

    made = []

    def __init__(self, name, /):
        self.name = name
        self.serial = len(CountingApp.made)
        CountingApp.made.append(self)


@pytest.fixture
def counting_app(monkeypatch):
    CountingApp.made = []
    monkeypatch.setattr(app_module, "App", CountingApp)
    return CountingApp


def fake_registry(running=(), paused=()):
    """An object standing in for vorlix._app.api with fixed listings."""

    class Registry:
        reads = []

        @property
        def running(self):
            self.reads.append("running")
            return {name: None for name in running}

        @property
        def paused(self):
            self.reads.append("paused")
            return {name: None for name in paused}

    return Registry()


class TestActions:
    @pytest.mark.parametrize("method, command", ACTIONS)
    @pytest.mark.parametrize("name", ["mail", "car mode", "", "-n", "it's \"q\""])
    def test_one_call_with_command_then_name(self, runner, method, command, name):
        assert getattr(App(name), method)() is None
        assert runner.calls == [((command, name), {})]

    @pytest.mark.parametrize("method, command", ACTIONS)
    @pytest.mark.parametrize("output", ["done\n", "", 42, None, object()])
    def test_result_is_none_whatever_the_runner_returned(self, runner, method, command, output):
        runner.result = output
        assert getattr(App("mail"), method)() is None

    @pytest.mark.parametrize("method, command", ACTIONS)
    @pytest.mark.parametrize("args, kwargs", [((True,), {}), (("x",), {}), ((), {"force": True}), ((), {"name": "x"})])
    def test_extra_arguments_are_refused_before_anything_runs(self, runner, method, command, args, kwargs):
        with pytest.raises(TypeError):
            getattr(App("mail"), method)(*args, **kwargs)
        assert runner.calls == []

    def test_rebinding_the_runner_takes_effect_at_the_next_call(self, runner, monkeypatch):
        handle = App("mail")
        handle.start()
        second = Runner()
        monkeypatch.setattr(app_module, "vorlix", second)
        handle.stop()
        assert runner.commands == [("start-app", "mail")]
        assert second.commands == [("stop-app", "mail")]

    def test_renaming_a_handle_retargets_later_calls(self, runner):
        handle = App("x")
        handle.name = "y"
        handle.start()
        handle.name = "z"
        handle.pause()
        assert runner.commands == [("start-app", "y"), ("pause-app", "z")]

    def test_name_is_passed_as_the_object_it_is(self, runner):
        name = ["not", "text"]
        App(name).start()
        assert runner.calls[0][0][1] is name

    def test_runner_errors_propagate_and_leave_the_handle_alone(self, runner):
        error = FileNotFoundError(2, "No such file or directory")
        runner.outputs["stop-app"] = error
        handle = App("mail")
        with pytest.raises(FileNotFoundError) as caught:
            handle.stop()
        assert caught.value is error
        assert handle.__dict__ == {"name": "mail"}


class TestQueries:
    @pytest.mark.parametrize("prop, command", QUERIES)
    def test_one_listing_run_per_read(self, runner, prop, command):
        runner.outputs[command] = "mail\nnotes\n"
        handle = App("notes")
        assert getattr(handle, prop) is True
        assert getattr(handle, prop) is True
        assert runner.calls == [((command,), {}), ((command,), {})]

    @pytest.mark.parametrize("name, expected", [
        ("notes", True), ("mail", True), ("note", False), ("Notes", False),
        (" notes", False), ("notes ", False), ("", False), ("mail\nnotes", False),
    ])
    def test_whole_line_case_sensitive_match(self, runner, name, expected):
        runner.outputs["list-running-apps"] = "mail\nnotes\n"
        assert App(name).is_running is expected

    def test_running_and_paused_come_from_their_own_listings(self, runner):
        runner.outputs = {"list-running-apps": "mail\n", "list-paused-apps": "maps\n"}
        mail, maps = App("mail"), App("maps")
        assert (mail.is_running, mail.is_paused) == (True, False)
        assert (maps.is_running, maps.is_paused) == (False, True)

    def test_empty_name_matches_an_empty_line(self, runner):
        runner.outputs["list-paused-apps"] = "a\n\nb\n"
        assert App("").is_paused is True

    def test_unhashable_name_raises_type_error(self, runner):
        runner.outputs["list-running-apps"] = "mail\n"
        with pytest.raises(TypeError):
            App(["mail"]).is_running

    @pytest.mark.parametrize("prop", ["is_running", "is_paused"])
    def test_read_only(self, prop):
        handle = App("mail")
        with pytest.raises(AttributeError):
            setattr(handle, prop, True)
        with pytest.raises(AttributeError):
            delattr(handle, prop)
        assert prop not in handle.__dict__


class TestNameLookups:
    """Which module-level names each operation looks up, in which order,
    and that it looks them up afresh at every call."""

    @pytest.mark.parametrize("method, command", ACTIONS)
    def test_action_looks_up_the_runner_before_reading_the_name(self, monkeypatch, method, command):
        monkeypatch.delattr(app_module, "vorlix")
        handle = App("mail")
        del handle.name
        with pytest.raises(NameError, match=r"^name 'vorlix' is not defined$"):
            getattr(handle, method)()

    @pytest.mark.parametrize("prop, command", QUERIES)
    def test_query_reads_the_name_before_looking_up_api(self, monkeypatch, prop, command):
        monkeypatch.delattr(app_module, "api")
        handle = App("mail")
        del handle.name
        with pytest.raises(AttributeError):
            getattr(handle, prop)
        handle.name = "mail"
        with pytest.raises(NameError, match=r"^name 'api' is not defined$"):
            getattr(handle, prop)

    def test_without_a_name_every_action_raises_attribute_error(self, runner):
        handle = App("mail")
        del handle.name
        for method, _ in ACTIONS:
            with pytest.raises(AttributeError):
                getattr(handle, method)()
        assert runner.calls == []

    @pytest.mark.parametrize("method, command", ACTIONS)
    def test_action_falls_back_to_a_builtin_runner(self, monkeypatch, method, command):
        fallback = Runner()
        monkeypatch.delattr(app_module, "vorlix")
        monkeypatch.setattr(builtins, "vorlix", fallback, raising=False)
        getattr(App("mail"), method)()
        assert fallback.commands == [(command, "mail")]

    def test_registry_falls_back_to_builtin_runner_and_app(self, monkeypatch, counting_app):
        fallback = Runner({"list-apps": "mail\n", "list-running-apps": "mail\n"})
        monkeypatch.delattr(app_module, "vorlix")
        monkeypatch.delattr(app_module, "App")
        monkeypatch.setattr(builtins, "vorlix", fallback, raising=False)
        monkeypatch.setattr(builtins, "App", CountingApp, raising=False)
        assert isinstance(vorlix.apps["mail"], CountingApp)
        assert isinstance(vorlix.apps.running["mail"], CountingApp)
        assert fallback.commands == [("list-apps",), ("list-running-apps",)]

    def test_query_falls_back_to_a_builtin_api(self, monkeypatch):
        monkeypatch.delattr(app_module, "api")
        monkeypatch.setattr(builtins, "api", fake_registry(running=["mail"]), raising=False)
        assert App("mail").is_running is True

    @pytest.mark.parametrize("name", ["vorlix", "App"])
    def test_registry_names_missing_everywhere_raise_name_error(self, runner, monkeypatch, name):
        runner.outputs["list-apps"] = "mail\n"
        runner.outputs["list-paused-apps"] = "mail\n"
        monkeypatch.delattr(app_module, name)
        with pytest.raises(NameError, match=rf"^name '{name}' is not defined$"):
            vorlix.apps["mail"]
        with pytest.raises(NameError, match=rf"^name '{name}' is not defined$"):
            vorlix.apps.paused

    def test_replacing_the_module_registry_changes_what_queries_consult(self, runner, monkeypatch):
        registry = fake_registry(running=["ghost"], paused=["shade"])
        monkeypatch.setattr(app_module, "api", registry)
        assert App("ghost").is_running is True
        assert App("shade").is_paused is True
        assert registry.reads == ["running", "paused"]
        assert runner.calls == []

    def test_query_only_needs_keys_from_the_listing(self, monkeypatch):
        class Listing:
            def keys(self):
                return ["mail"]

        class Registry:
            running = Listing()

        monkeypatch.setattr(app_module, "api", Registry())
        assert App("mail").is_running is True

    def test_rebinding_the_package_alias_changes_nothing(self, runner, monkeypatch):
        runner.outputs["list-running-apps"] = "mail\n"
        monkeypatch.setattr(vorlix, "apps", fake_registry(running=["ghost"]))
        assert App("mail").is_running is True
        assert App("ghost").is_running is False

    def test_replacing_the_package_runner_changes_nothing(self, runner, monkeypatch):
        stray = Runner()
        monkeypatch.setattr(util_module, "vorlix", stray)
        monkeypatch.setattr(vorlix, "vorlix", stray)
        App("mail").start()
        vorlix.apps.keys()
        assert stray.calls == []
        assert runner.commands == [("start-app", "mail"), ("list-apps",)]

    def test_replacing_app_changes_what_lookups_and_listings_return(self, runner, counting_app):
        runner.outputs = {"list-apps": "mail\n", "list-running-apps": "mail\n", "list-paused-apps": "maps\n"}
        assert type(vorlix.apps["mail"]) is CountingApp
        assert type(vorlix.apps.running["mail"]) is CountingApp
        assert type(vorlix.apps.paused["maps"]) is CountingApp


class TestListingParsing:
    @pytest.mark.parametrize("output, expected", [
        ("a\nb\n", ["a", "b"]),
        ("a\n\nb", ["a", "", "b"]),
        ("", []),
        ("\n", [""]),
        ("a\nb\n\n", ["a", "b", ""]),
        ("b\na\nb\n", ["b", "a", "b"]),
        (" a \nA\n", [" a ", "A"]),
        ("a\x0cb\u2028c\r\nd\re\x1ef", ["a", "b", "c", "d", "e", "f"]),
        ("tab\tinside\n", ["tab\tinside"]),
    ])
    def test_keys_are_the_lines_in_order(self, runner, output, expected):
        runner.outputs["list-apps"] = output
        assert vorlix.apps.keys() == expected
        assert runner.calls == [(("list-apps",), {})]

    def test_splitlines_of_whatever_the_runner_returned(self, runner):
        runner.outputs["list-apps"] = b"a\nb\n"
        assert vorlix.apps.keys() == [b"a", b"b"]

    def test_keys_is_a_new_list_each_time(self, runner):
        runner.outputs["list-apps"] = "a\n"
        first = vorlix.apps.keys()
        first.append("b")
        assert vorlix.apps.keys() == ["a"]

    @pytest.mark.parametrize("prop, command", LISTINGS)
    def test_dict_keeps_first_position_and_last_handle(self, runner, counting_app, prop, command):
        runner.outputs[command] = "mail\nnotes\nmail\n"
        listing = getattr(vorlix.apps, prop)
        assert type(listing) is dict
        assert list(listing) == ["mail", "notes"]
        assert [handle.serial for handle in listing.values()] == [2, 1]
        assert [handle.name for handle in CountingApp.made] == ["mail", "notes", "mail"]
        assert runner.calls == [((command,), {})]

    @pytest.mark.parametrize("prop, command", LISTINGS)
    def test_app_is_looked_up_for_every_line(self, runner, monkeypatch, prop, command):
        runner.outputs[command] = "mail\nnotes\n"

        def first(line, /):
            # Hands the next line to a different maker.
            monkeypatch.setattr(app_module, "App", lambda line, /: ("second", line))
            return ("first", line)

        monkeypatch.setattr(app_module, "App", first)
        assert getattr(vorlix.apps, prop) == {"mail": ("first", "mail"), "notes": ("second", "notes")}

    @pytest.mark.parametrize("prop, command", LISTINGS)
    def test_empty_listing_needs_no_app(self, runner, monkeypatch, prop, command):
        monkeypatch.delattr(app_module, "App")
        assert getattr(vorlix.apps, prop) == {}

    @pytest.mark.parametrize("prop, command", LISTINGS)
    def test_each_read_runs_the_tool_and_builds_a_new_dict(self, runner, prop, command):
        runner.outputs[command] = "mail\nnotes\n"
        first, second = getattr(vorlix.apps, prop), getattr(vorlix.apps, prop)
        assert first is not second
        assert first["mail"] is not second["mail"]
        assert all(type(h) is App and h.name == name for name, h in first.items())
        assert len(runner.calls) == 2

    @pytest.mark.parametrize("prop, command", LISTINGS)
    def test_empty_output_gives_an_empty_dict(self, runner, prop, command):
        assert getattr(vorlix.apps, prop) == {}

    @pytest.mark.parametrize("prop, command", LISTINGS)
    def test_blank_lines_are_one_empty_name(self, runner, prop, command):
        runner.outputs[command] = "\n\n"
        listing = getattr(vorlix.apps, prop)
        assert list(listing) == [""]
        assert listing[""].name == ""

    @pytest.mark.parametrize("prop", ["running", "paused"])
    def test_listings_are_read_only(self, prop):
        with pytest.raises(AttributeError):
            setattr(vorlix.apps, prop, {})
        with pytest.raises(AttributeError):
            delattr(vorlix.apps, prop)


class TestMembership:
    @pytest.mark.parametrize("key, expected", [
        ("a", True), ("", True), ("b", True), ("a ", False), ("A", False), ("c", False),
        (5, False), (None, False), (b"a", False), (["a"], False), (("a",), False),
    ])
    def test_exact_match_against_the_lines(self, runner, key, expected):
        runner.outputs["list-apps"] = "a\n\nb"
        assert (key in vorlix.apps) is expected
        assert runner.commands == [("list-apps",)]

    def test_nothing_is_in_an_empty_listing(self, runner):
        assert "" not in vorlix.apps

    def test_membership_goes_through_keys(self, runner):
        class Fixed(API):
            def keys(self):
                return ["only"]

        assert "only" in Fixed()
        assert "a" not in Fixed()
        assert runner.calls == []

    def test_special_method_called_by_name_takes_key_keyword(self, runner):
        runner.outputs["list-apps"] = "mail\n"
        assert API.__contains__(vorlix.apps, key="mail") is True
        assert API.__getitem__(vorlix.apps, key="mail").name == "mail"

    @pytest.mark.parametrize("method", ["__contains__", "__getitem__"])
    def test_wrong_argument_count_runs_nothing(self, runner, method):
        with pytest.raises(TypeError):
            getattr(vorlix.apps, method)()
        with pytest.raises(TypeError):
            getattr(vorlix.apps, method)("a", "b")
        assert runner.calls == []


class TestItemLookup:
    def test_listed_name_gives_a_new_handle_holding_the_key_itself(self, runner):
        runner.outputs["list-apps"] = "mail\nnotes\n"
        key = "".join(["no", "tes"])
        handle = vorlix.apps[key]
        assert type(handle) is App
        assert handle.name is key
        assert runner.commands == [("list-apps",)]

    def test_two_lookups_two_handles_two_runs(self, runner):
        runner.outputs["list-apps"] = "mail\n"
        assert vorlix.apps["mail"] is not vorlix.apps["mail"]
        assert runner.commands == [("list-apps",), ("list-apps",)]

    @pytest.mark.parametrize("key", ["x", "mail ", "Mail", "", 0, None, b"mail", ["mail"]])
    def test_unlisted_key_raises_an_empty_key_error(self, runner, key):
        runner.outputs["list-apps"] = "mail\n"
        with pytest.raises(KeyError) as caught:
            vorlix.apps[key]
        assert type(caught.value) is KeyError
        assert caught.value.args == ()
        assert str(caught.value) == ""

    def test_empty_listing_refuses_every_key(self, runner):
        with pytest.raises(KeyError):
            vorlix.apps[""]

    def test_goes_through_the_class_membership_test(self, runner):
        class Everything(API):
            def __contains__(self, key):
                return True

        assert Everything()["anything"].name == "anything"
        assert runner.calls == []

        registry = API()
        registry.__contains__ = lambda key: True
        with pytest.raises(KeyError):
            registry["anything"]
        assert runner.commands == [("list-apps",)]

    def test_iterating_raises_key_error_after_one_listing(self, runner):
        runner.outputs["list-apps"] = "mail\nnotes\n"
        with pytest.raises(KeyError):
            for _ in vorlix.apps:
                pass
        assert runner.commands == [("list-apps",)]

    def test_len_is_refused_without_running_anything(self, runner):
        with pytest.raises(TypeError):
            len(vorlix.apps)
        assert runner.calls == []

    def test_dict_of_the_registry_uses_keys_then_one_lookup_per_key(self, runner):
        runner.outputs["list-apps"] = "mail\nnotes\nmaps\n"
        copied = dict(vorlix.apps)
        assert list(copied) == ["mail", "notes", "maps"]
        assert all(type(h) is App and h.name == name for name, h in copied.items())
        assert runner.commands == [("list-apps",)] * 4

    def test_other_registries_behave_the_same(self, runner):
        runner.outputs["list-apps"] = "mail\n"
        assert API()["mail"].name == "mail"
        assert "mail" in API()
        with pytest.raises(TypeError):
            API("extra")


class TestToolFailures:
    """A failing run is never turned into an answer."""

    @pytest.mark.parametrize("command, operation", [
        ("list-apps", lambda: vorlix.apps.keys()),
        ("list-apps", lambda: "mail" in vorlix.apps),
        ("list-apps", lambda: vorlix.apps["mail"]),
        ("list-apps", lambda: "nope" in vorlix.apps),
        ("list-apps", lambda: vorlix.apps["nope"]),
        ("list-running-apps", lambda: vorlix.apps.running),
        ("list-paused-apps", lambda: vorlix.apps.paused),
        ("list-running-apps", lambda: App("mail").is_running),
        ("list-paused-apps", lambda: App("mail").is_paused),
        ("start-app", lambda: App("mail").start()),
        ("stop-app", lambda: App("mail").stop()),
    ])
    @pytest.mark.parametrize("error", [VorlixException("refused\n\nvorlix: no\n"), UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), KeyboardInterrupt()])
    def test_runner_error_reaches_the_caller_unchanged(self, runner, command, operation, error):
        runner.outputs = {"list-apps": "mail\n", "list-running-apps": "mail\n", "list-paused-apps": "mail\n"}
        runner.outputs[command] = error
        with pytest.raises(type(error)) as caught:
            operation()
        assert caught.value is error
        assert caught.value.__cause__ is None


class TestHandles:
    def test_construction_runs_nothing(self, runner):
        App("no such app")
        App(name="mail")
        assert runner.calls == []

    @pytest.mark.parametrize("name", ["mail", " Mail ", "", "a\nb", 5, None])
    def test_name_is_stored_as_given(self, name):
        assert App(name).name is name
        assert App(name=name).name is name

    @pytest.mark.parametrize("args, kwargs", [((), {}), (("a", "b"), {}), (("a",), {"name": "b"}), ((), {"title": "a"})])
    def test_wrong_constructor_call_is_refused(self, runner, args, kwargs):
        with pytest.raises(TypeError):
            App(*args, **kwargs)
        assert runner.calls == []

    def test_identity_equality_and_hash(self):
        first, second = App("mail"), App("mail")
        assert first != second
        assert first == first
        assert len({first, second}) == 2
        assert hash(first) == object.__hash__(first)

    def test_default_repr_names_the_class_in_its_module(self):
        handle = App("mail")
        assert repr(handle) == f"<vorlix._app.App object at {id(handle):#x}>"
        assert str(handle) == repr(handle)

    def test_instances_take_attributes_of_their_own(self):
        handle = App("mail")
        handle.colour = "blue"
        assert handle.__dict__ == {"name": "mail", "colour": "blue"}

    def test_subclass_gets_the_behaviour(self, runner):
        class Mine(App):
            pass

        Mine("mail").resume()
        assert runner.commands == [("resume-app", "mail")]

    def test_handles_work_from_several_threads_at_once(self, monkeypatch):
        # Both calls must be inside the runner together: the package takes
        # no lock of its own around a run.
        barrier = threading.Barrier(2, timeout=30)
        seen = []

        def meeting_runner(*args):
            barrier.wait()
            seen.append(args)
            return ""

        monkeypatch.setattr(app_module, "vorlix", meeting_runner)
        errors = []

        def run(name):
            try:
                App(name).start()
            except BaseException as error:  # reported below
                errors.append(error)

        threads = [threading.Thread(target=run, args=(name,)) for name in ("mail", "notes")]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert errors == []
        assert sorted(seen) == [("start-app", "mail"), ("start-app", "notes")]


ODD_NAMES = ["car mode", "it's \"quoted\"", "-n", "--start", "", "$HOME `id`", " padded "]


class TestOnTheDevice:
    """Through the real runner to the simulated device."""

    @pytest.fixture
    def device(self, sim):
        sim.set("apps", "mail\n" + "".join(f"{name}\n" for name in ODD_NAMES))
        sim.set("running", "mail\n")
        sim.set("paused", "")
        return sim

    def test_listings(self, sim):
        sim.set("apps", "mail\nnotes\n\nmaps")
        sim.set("running", "notes\nmail\nnotes\n")
        sim.set("paused", "maps\n")
        assert vorlix.apps.keys() == ["mail", "notes", "", "maps"]
        assert list(vorlix.apps.running) == ["notes", "mail"]
        assert list(vorlix.apps.paused) == ["maps"]
        assert "" in vorlix.apps
        assert vorlix.apps["maps"].name == "maps"
        assert sim.calls() == [["list-apps"], ["list-running-apps"], ["list-paused-apps"],
                               ["list-apps"], ["list-apps"]]

    @pytest.mark.parametrize("name", ODD_NAMES)
    def test_each_name_reaches_the_tool_as_one_argument(self, device, name):
        handle = vorlix.apps[name]
        handle.start()
        assert (handle.is_running, handle.is_paused) == (True, False)
        handle.pause()
        assert (handle.is_running, handle.is_paused) == (False, True)
        handle.resume()
        assert handle.is_running is True
        handle.stop()
        assert (handle.is_running, handle.is_paused) == (False, False)
        assert device.calls() == [
            ["list-apps"],
            ["start-app", name], ["list-running-apps"], ["list-paused-apps"],
            ["pause-app", name], ["list-running-apps"], ["list-paused-apps"],
            ["resume-app", name], ["list-running-apps"],
            ["stop-app", name], ["list-running-apps"], ["list-paused-apps"],
        ]

    @pytest.mark.parametrize("method, args", [
        ("start", ["start-app", "mail"]),      # already running
        ("resume", ["resume-app", "mail"]),    # not paused
        ("pause", ["pause-app", "notes"]),     # unknown
    ])
    def test_refused_action_carries_the_tools_output(self, device, method, args):
        with pytest.raises(VorlixException) as caught:
            getattr(App(args[1]), method)()
        expected = device.run(*args)
        assert expected.returncode != 0
        assert caught.value.args == (expected.stdout + "\n" + expected.stderr,)

    def test_injected_refusal_message(self, device):
        device.fail("stop-app", status=4, stdout="partial\n", stderr="vorlix: busy\n")
        with pytest.raises(VorlixException, match=r"^partial\n\nvorlix: busy\n$"):
            App("mail").stop()
        assert device.read("running") == "mail\n"

    @pytest.mark.parametrize("command, operation", [
        ("list-apps", lambda: vorlix.apps.keys()),
        ("list-apps", lambda: "mail" in vorlix.apps),
        ("list-apps", lambda: vorlix.apps["mail"]),
        ("list-running-apps", lambda: App("mail").is_running),
        ("list-paused-apps", lambda: vorlix.apps.paused),
    ])
    @pytest.mark.parametrize("failure", [{"status": 2, "stdout": "a\n", "stderr": "b\n"}, {"signal": "KILL"}])
    def test_failing_listing_is_an_error_not_an_answer(self, device, command, operation, failure):
        device.fail(command, **failure)
        with pytest.raises(VorlixException) as caught:
            operation()
        if "status" in failure:
            assert str(caught.value) == "a\n\nb\n"

    def test_unknown_app_is_not_running_and_cannot_start(self, device):
        handle = App("nope")
        assert handle.is_running is False
        with pytest.raises(VorlixException):
            handle.start()

    @pytest.mark.parametrize("name", [5, None, ["mail"]])
    def test_name_that_is_not_text_never_reaches_the_tool(self, device, name):
        with pytest.raises(TypeError):
            App(name).start()
        assert device.calls() == []

    def test_replaced_package_runner_is_not_used(self, device, monkeypatch):
        def stray(*args):
            raise AssertionError("the package's alias was called")

        monkeypatch.setattr(util_module, "vorlix", stray)
        monkeypatch.setattr(vorlix, "vorlix", stray)
        App("mail").stop()
        assert device.calls() == [["stop-app", "mail"]]
        assert device.read("running") == ""
