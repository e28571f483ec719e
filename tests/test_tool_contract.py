"""The contract with the control tool, seen at the process boundary: which
command line every operation of the package starts, whether it is run with
its output captured (through the runner) or directly on the caller's
streams, and that a missing tool is never mistaken for a failure or a no."""

import json
import subprocess
import sys
import textwrap

import pytest

import vorlix
from vorlix import App, Launcher, _launcher, _util

TOOL = "/opt/bin/vorlix"
NAME = "car mode"
STATUS = f"Current view: {NAME} [+]\nApps: 0 installed\n"


class Device:
    """Stands in for `subprocess` in both places the package reaches it:
    records `run` (captured) and `call` (direct) the way a process starts."""

    def __init__(self, status=0, error=None):
        self.started = []
        self.status = status
        self.error = error

    def run(self, argv, **kwargs):
        self.started.append(("captured", argv[1:], sorted(kwargs)))
        if self.error is not None:
            raise self.error
        stdout = STATUS if argv[1:] == ["status"] else f"{NAME}\nother\n"
        return subprocess.CompletedProcess(argv, 0, stdout, "")

    def call(self, argv, **kwargs):
        self.started.append(("direct", argv[1:], sorted(kwargs)))
        if self.error is not None:
            raise self.error
        return self.status


@pytest.fixture
def device(monkeypatch):
    stand_in = Device()
    monkeypatch.setattr(_util, "subprocess", stand_in)
    monkeypatch.setattr(_launcher, "subprocess", stand_in)
    return stand_in


CAPTURED = ["capture_output", "check", "text"]

# Operation -> the command lines it starts, in order, and how.
OPERATIONS = {
    "apps.keys": (lambda: vorlix.apps.keys(), [["list-apps"]]),
    "apps.running": (lambda: vorlix.apps.running, [["list-running-apps"]]),
    "apps.paused": (lambda: vorlix.apps.paused, [["list-paused-apps"]]),
    "apps[name]": (lambda: vorlix.apps[NAME], [["list-apps"]]),
    "App.start": (lambda: App(NAME).start(), [["start-app", NAME]]),
    "App.stop": (lambda: App(NAME).stop(), [["stop-app", NAME]]),
    "App.pause": (lambda: App(NAME).pause(), [["pause-app", NAME]]),
    "App.resume": (lambda: App(NAME).resume(), [["resume-app", NAME]]),
    "App.is_running": (lambda: App(NAME).is_running, [["list-running-apps"]]),
    "App.is_paused": (lambda: App(NAME).is_paused, [["list-paused-apps"]]),
    "launchers.keys": (lambda: vorlix.launchers.keys(), [["list-launchers"]]),
    "launchers[name]": (lambda: vorlix.launchers[NAME], [["list-launchers"]]),
    "launchers.current": (lambda: vorlix.launchers.current, [["status"]]),
    "Launcher.start": (lambda: Launcher(NAME).start(), [["start-launcher", NAME]]),
    "Launcher.stop": (lambda: Launcher(NAME).stop(), [["stop-launcher", NAME]]),
    "Launcher.enable": (lambda: Launcher(NAME).enable(), [["switch-launcher", NAME]]),
    "Launcher.enable(start)": (lambda: Launcher(NAME).enable(True),
                               [["switch-launcher", "--start", NAME]]),
    "launchers.switch": (lambda: vorlix.launchers.switch(NAME), [["switch-launcher", NAME]]),
    "launchers.switch(start)": (lambda: vorlix.launchers.switch(Launcher(NAME), start=True),
                                [["switch-launcher", "--start", NAME]]),
    "vorlix": (lambda: vorlix.vorlix("list-apps"), [["list-apps"]]),
}
DIRECT = {
    "Launcher.is_current": (lambda: Launcher(NAME).is_current, ["is-current-launcher", NAME]),
    "Launcher.is_enabled": (lambda: Launcher(NAME).is_enabled, ["is-enabled-launcher", NAME]),
    "Launcher.is_active": (lambda: Launcher(NAME).is_active, ["is-active-launcher", NAME]),
}


class TestCommandLines:
    @pytest.mark.parametrize("operation, lines", [(op, lines) for op, (_, lines)
                                                  in OPERATIONS.items()], ids=list(OPERATIONS))
    def test_captured_runs(self, device, operation, lines):
        OPERATIONS[operation][0]()
        assert device.started == [("captured", line, CAPTURED) for line in lines]

    @pytest.mark.parametrize("operation", DIRECT)
    def test_state_queries_run_the_tool_directly(self, device, operation):
        query, line = DIRECT[operation]
        query()
        # Nothing but the command line: the tool shares the caller's streams.
        assert device.started == [("direct", line, [])]

    def test_at_most_two_arguments_after_the_sub_command(self, device):
        for run, _ in OPERATIONS.values():
            run()
        for run, _ in DIRECT.values():
            run()
        assert all(1 <= len(line) <= 3 for _, line, _ in device.started)


class TestDirectAnswers:
    @pytest.mark.parametrize("status, answer", [(0, True), (1, False), (2, False),
                                                (255, False), (-9, False)])
    @pytest.mark.parametrize("operation", DIRECT)
    def test_exit_status_zero_means_yes(self, device, operation, status, answer):
        device.status = status
        assert DIRECT[operation][0]() is answer


class TestUnusableTool:
    @pytest.mark.parametrize("error", [FileNotFoundError(2, "No such file or directory"),
                                       PermissionError(13, "Permission denied")],
                             ids=["missing", "not-executable"])
    @pytest.mark.parametrize("operation", [*OPERATIONS, *DIRECT])
    def test_surfaces_unchanged_from_every_operation(self, device, operation, error):
        device.error = error
        run = (OPERATIONS.get(operation) or DIRECT[operation])[0]
        with pytest.raises(OSError) as caught:
            run()
        assert caught.value is error

    @pytest.mark.native_only("a failed exec is reported as exit status 127")
    def test_the_real_path_hidden_behind_an_empty_file_system(self):
        # A child in a mount namespace of its own covers /opt/bin, so every
        # kind of run meets a tool that is really not there.
        code = textwrap.dedent("""
            import ctypes, json, os
            libc = ctypes.CDLL(None, use_errno=True)
            MS_REC, MS_PRIVATE = 0x4000, 0x40000
            try:
                os.unshare(os.CLONE_NEWNS)
                if (libc.mount(None, b"/opt/bin", None, MS_REC | MS_PRIVATE, None) != 0
                        or libc.mount(b"tmpfs", b"/opt/bin", b"tmpfs", 0, None) != 0):
                    raise OSError(ctypes.get_errno(), "mount")
            except (AttributeError, OSError):
                print(json.dumps(None))
                raise SystemExit
            import vorlix
            outcomes = {}
            for label, run in {
                "runner": lambda: vorlix.vorlix("list-apps"),
                "listing": lambda: vorlix.apps.keys(),
                "action": lambda: vorlix.App("mail").start(),
                "current": lambda: vorlix.launchers.current,
                "direct": lambda: vorlix.Launcher("home").is_current,
            }.items():
                try:
                    run()
                    outcomes[label] = "no error"
                except BaseException as e:
                    outcomes[label] = type(e).__name__
            print(json.dumps(outcomes))
        """)
        proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        outcomes = json.loads(proc.stdout.splitlines()[-1])
        if outcomes is None:
            pytest.skip("cannot make a private mount namespace here")
        assert set(outcomes.values()) == {"FileNotFoundError"}, outcomes


class TestThroughTheSimulatedTool:
    def test_every_operation_reaches_the_tool_as_stated(self, sim):
        sim.set("apps", f"{NAME}\n")
        sim.set("launchers", f"{NAME}\n")
        for run, _ in OPERATIONS.values():
            try:
                run()
            except vorlix.VorlixException:
                pass  # refusals of the simulated device (e.g. already running)
        for run, _ in DIRECT.values():
            run()
        expected = [line for _, lines in OPERATIONS.values() for line in lines]
        expected += [line for _, line in DIRECT.values()]
        assert sim.calls() == expected
