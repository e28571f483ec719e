"""The simulated device must behave like the control tool the package drives,
and its log and failure injection must be exact, or every test built on it
proves nothing."""

import signal
import subprocess

import pytest

from simulator import STATE_FILES, TOOL

AWKWARD_NAMES = [
    "car mode",
    "",
    "-n",
    "--start",
    "it's \"quoted\"",
    "$HOME `id` $(id)",
    "*",
    "back\\slash\\n",
    "  padded  ",
    "ünïcode",
]


def snapshot(sim):
    return {name: sim.read(name) for name in STATE_FILES}


class TestLog:
    @pytest.mark.parametrize(
        "args",
        [
            [],
            ["list-apps"],
            ["start-app", "car mode"],
            ["start-app", ""],
            ["start-app", "-x", "", "--"],
            ["switch-launcher", "--start", "it's \"q\""],
            ["status", "line one\nline two\n"],
            ["status", "$HOME", "*", "\\", "\t"],
            ["no-such-command", "ünï"],
        ],
    )
    def test_arguments_come_back_verbatim(self, sim, args):
        sim.run(*args)
        assert sim.calls() == [args]

    def test_bytes_that_are_not_utf8_come_back(self, sim):
        subprocess.run([TOOL, "start-app", b"caf\xe9"], capture_output=True)
        assert sim.calls() == [["start-app", b"caf\xe9".decode("utf-8", "surrogateescape")]]

    def test_every_invocation_is_logged_in_order_whatever_its_outcome(self, sim):
        sim.fail("list-launchers", status=3)
        invocations = [
            ["list-apps"],
            ["start-app", "mail"],  # refused: already running
            ["bogus"],  # usage error
            ["list-launchers"],  # injected failure
            ["start-app", "nope"],  # refused: unknown
            ["status"],
        ]
        for args in invocations:
            sim.run(*args)
        assert sim.calls() == invocations

    def test_clear_log_forgets_earlier_invocations(self, sim):
        sim.run("list-apps")
        sim.clear_log()
        sim.run("status")
        assert sim.calls() == [["status"]]


class TestListing:
    @pytest.mark.parametrize(
        "command, file",
        [
            ("list-apps", "apps"),
            ("list-running-apps", "running"),
            ("list-paused-apps", "paused"),
            ("list-launchers", "launchers"),
        ],
    )
    @pytest.mark.parametrize(
        "text",
        ["", "\n", "a\na\n", "no final newline", "x \n \n\n y\n", "car mode\r\n-n\n"],
    )
    def test_prints_the_state_file_verbatim(self, sim, command, file, text):
        sim.set(file, text)
        result = sim.run(command, text=False)  # bytes: text mode would fold "\r\n"
        assert (result.returncode, result.stdout) == (0, text.encode())

    def test_default_device_is_consistent(self, sim):
        sim.run("status")
        apps = set(sim.lines("apps"))
        launchers = set(sim.lines("launchers"))
        assert set(sim.lines("running")) <= apps
        assert set(sim.lines("paused")) <= apps
        assert not set(sim.lines("running")) & set(sim.lines("paused"))
        for name in ("current", "enabled", "active"):
            assert set(sim.lines(name)) <= launchers

    def test_files_set_before_first_use_are_kept(self, sim):
        sim.set("apps", "only\n")
        assert sim.run("list-apps").stdout == "only\n"
        assert sim.run("list-launchers").stdout != ""


class TestStatus:
    @pytest.mark.parametrize("name", AWKWARD_NAMES)
    @pytest.mark.parametrize("active", [True, False])
    def test_first_line_is_14_characters_name_and_4_characters(self, sim, name, active):
        sim.set("launchers", f"{name}\nother\n")
        sim.set("current", f"{name}\nnot this line\n")
        sim.set("active", f"{name}\n" if active else "other\n")
        first = sim.run("status").stdout.splitlines()[0]
        assert len(first) == 14 + len(name) + 4
        assert first[14 : len(first) - 4] == name

    def test_prefix_does_not_depend_on_the_launcher(self, sim):
        prefixes = set()
        for name in ["home", "car mode", ""]:
            sim.set("current", name + "\n")
            prefixes.add(sim.run("status").stdout[:14])
        assert len(prefixes) == 1

    def test_shows_the_launcher_switched_to(self, sim):
        sim.run("switch-launcher", "car mode")
        first = sim.run("status").stdout.splitlines()[0]
        assert first[14:-4] == "car mode"


class TestFailureInjection:
    def test_prints_streams_verbatim_and_exits_with_status(self, sim):
        sim.fail("list-apps", status=7, stdout="partial\nout", stderr=b"err \xff\n\n")
        result = sim.run("list-apps", text=False)
        assert (result.returncode, result.stdout, result.stderr) == (7, b"partial\nout", b"err \xff\n\n")

    def test_status_defaults_to_1(self, sim):
        (sim.state / "fail" / "status").mkdir(parents=True)
        result = sim.run("status")
        assert (result.returncode, result.stdout, result.stderr) == (1, "", "")

    def test_status_0_with_output_replaces_the_real_answer(self, sim):
        sim.fail("list-apps", status=0, stdout="ghost\n")
        assert sim.run("list-apps").stdout == "ghost\n"

    @pytest.mark.parametrize(
        "sig, number",
        [("KILL", signal.SIGKILL), ("TERM", signal.SIGTERM), ("SIGABRT", signal.SIGABRT), (signal.SIGSEGV, signal.SIGSEGV)],
    )
    def test_signal_kills_the_tool(self, sim, sig, number):
        sim.fail("status", signal=sig, stdout="before death\n")
        result = sim.run("status")
        assert (result.returncode, result.stdout) == (-number, "before death\n")

    def test_sleep_then_exits_with_status(self, sim):
        sim.fail("stop-app", status=4, sleep=0.1)
        assert sim.run("stop-app", "mail").returncode == 4

    def test_leaves_the_device_and_other_commands_alone(self, sim):
        sim.run("status")
        before = snapshot(sim)
        sim.fail("start-app")
        assert sim.run("start-app", "camera").returncode == 1
        assert snapshot(sim) == before
        assert sim.run("pause-app", "mail").returncode == 0

    def test_recover_restores_the_real_behaviour(self, sim):
        sim.fail("start-app", status=9)
        sim.recover("start-app")
        assert sim.run("start-app", "camera").returncode == 0
        assert "camera" in sim.lines("running")


# From the default device: running mail, music; paused maps.
APP_ACTIONS = [
    ("start-app", "camera", {"mail", "music", "camera"}, {"maps"}),
    ("start-app", "maps", {"mail", "music", "maps"}, set()),
    ("pause-app", "mail", {"music"}, {"maps", "mail"}),
    ("resume-app", "maps", {"mail", "music", "maps"}, set()),
    ("stop-app", "mail", {"music"}, {"maps"}),
    ("stop-app", "maps", {"mail", "music"}, set()),
]

APP_REFUSALS = [
    ("start-app", "mail"),  # running
    ("pause-app", "camera"),  # not running
    ("pause-app", "maps"),  # paused, not running
    ("resume-app", "mail"),  # running, not paused
    ("resume-app", "camera"),
    ("stop-app", "camera"),  # neither running nor paused
    ("start-app", "Mail"),  # names are case-sensitive
    ("start-app", " mail"),  # and not trimmed
    ("start-app", "mail\nnotes"),  # and never several names
    ("start-app", "*"),  # and not patterns
    ("start-app", ""),
    ("stop-app", "nope"),
]


class TestApps:
    @pytest.mark.parametrize("action, app, running, paused", APP_ACTIONS)
    def test_action_moves_the_app(self, sim, action, app, running, paused):
        result = sim.run(action, app)
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
        assert set(sim.lines("running")) == running
        assert set(sim.lines("paused")) == paused

    @pytest.mark.parametrize("action, app", APP_REFUSALS)
    def test_refusal_says_why_and_changes_nothing(self, sim, action, app):
        sim.run("status")
        before = snapshot(sim)
        result = sim.run(action, app)
        assert result.returncode == 1
        assert result.stderr.strip()
        assert result.stdout == ""
        assert snapshot(sim) == before

    @pytest.mark.parametrize("name", AWKWARD_NAMES)
    def test_awkward_names_go_through_their_whole_life(self, sim, name):
        sim.set("apps", f"{name}\nother\n")
        sim.set("running", "other\n")
        sim.set("paused", "")
        for action, running, paused in [
            ("start-app", [name], []),
            ("pause-app", [], [name]),
            ("resume-app", [name], []),
            ("stop-app", [], []),
        ]:
            assert sim.run(action, name).returncode == 0, action
            assert sim.lines("running") == ["other", *running]
            assert sim.lines("paused") == paused

    def test_adding_to_a_file_without_final_newline_keeps_lines_apart(self, sim):
        sim.set("running", "mail")
        assert sim.run("start-app", "camera").returncode == 0
        assert sim.lines("running") == ["mail", "camera"]

    def test_concurrent_changes_are_not_lost(self, sim):
        apps = [f"app{i}" for i in range(12)]
        sim.set("apps", "".join(a + "\n" for a in apps))
        sim.set("running", "")
        procs = [
            subprocess.Popen([TOOL, "start-app", a], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            for a in apps
        ]
        assert [p.wait() for p in procs] == [0] * len(apps)
        for p in procs:
            p.stderr.close()
        assert sorted(sim.lines("running")) == sorted(apps)
        assert sorted(sim.calls()) == sorted(["start-app", a] for a in apps)


class TestLaunchers:
    def launcher_states(self, sim, name):
        return tuple(
            sim.run(question, name).returncode
            for question in ("is-current-launcher", "is-enabled-launcher", "is-active-launcher")
        )

    def test_switch_with_start_makes_it_current_enabled_and_active(self, sim):
        assert sim.run("switch-launcher", "--start", "car mode").returncode == 0
        assert self.launcher_states(sim, "car mode") == (0, 0, 0)
        assert self.launcher_states(sim, "home")[:2] == (1, 1)

    def test_switch_alone_does_not_activate(self, sim):
        assert sim.run("switch-launcher", "kiosk").returncode == 0
        assert self.launcher_states(sim, "kiosk") == (0, 0, 1)

    def test_start_and_stop_change_only_activeness(self, sim):
        assert sim.run("start-launcher", "kiosk").returncode == 0
        assert self.launcher_states(sim, "kiosk") == (1, 1, 0)
        assert sim.run("stop-launcher", "home").returncode == 0
        assert self.launcher_states(sim, "home") == (0, 0, 1)

    @pytest.mark.parametrize("name", AWKWARD_NAMES)
    def test_awkward_names_switch_and_answer(self, sim, name):
        sim.set("launchers", f"home\n{name}\n")
        assert sim.run("switch-launcher", "--start", name).returncode == 0
        assert self.launcher_states(sim, name) == (0, 0, 0)
        assert sim.read("current") == name + "\n"

    def test_questions_print_nothing(self, sim):
        for question in ("is-current-launcher", "is-enabled-launcher", "is-active-launcher"):
            for name in ("home", "kiosk", "nope"):
                result = sim.run(question, name)
                assert (result.stdout, result.stderr) == ("", "")

    @pytest.mark.parametrize(
        "args",
        [
            ["start-launcher", "nope"],
            ["stop-launcher", "Home"],
            ["switch-launcher", "car"],
            ["switch-launcher", "--start", "home "],
            ["switch-launcher", "home\nkiosk"],
        ],
    )
    def test_unknown_launcher_is_refused_and_changes_nothing(self, sim, args):
        sim.run("status")
        before = snapshot(sim)
        result = sim.run(*args)
        assert result.returncode == 1
        assert result.stderr.strip()
        assert snapshot(sim) == before


class TestUsage:
    @pytest.mark.parametrize(
        "args",
        [
            [],
            ["bogus"],
            ["--help"],
            ["start-app"],
            ["start-app", "mail", "extra"],
            ["status", "extra"],
            ["switch-launcher"],
            ["switch-launcher", "--begin", "home"],
            ["is-active-launcher"],
        ],
    )
    def test_misuse_prints_usage_and_exits_2(self, sim, args):
        sim.run("status")
        before = snapshot(sim)
        result = sim.run(*args)
        assert result.returncode == 2
        assert "usage" in result.stderr
        assert result.stdout == ""
        assert snapshot(sim) == before
