"""The command runner `vorlix._util.vorlix` and the error type
`VorlixException`: how the control tool is started, what comes back, what
is raised, and which errors pass through untouched.

Most tests put a recording stand-in for the `subprocess` module into the
runner's module; the end-to-end ones drive the simulated device."""

import builtins
import gc
import inspect
import json
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap
import threading

import pytest

from vorlix import _util

runner = _util.vorlix
VorlixException = _util.VorlixException
TOOL = "/opt/bin/vorlix"
KEYWORDS = [("text", True), ("check", False), ("capture_output", True)]


class Completed:
    """What `run` hands back: only the three attributes the runner reads."""

    def __init__(self, returncode=0, stdout="", stderr=""):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr


class Logged:
    """A completed run that logs every attribute read and conversion."""

    def __init__(self, returncode, stdout="out", stderr="err"):
        self.log = []
        self._values = {"returncode": returncode, "stdout": stdout, "stderr": stderr}

    def __getattr__(self, name):
        if name not in ("returncode", "stdout", "stderr"):
            raise AttributeError(name)
        self.log.append(name)
        return Formatted(self.log, name, self._values[name])


class Formatted:
    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __bool__(self):
        return bool(self.value)

    def __format__(self, format_spec):
        self.log.append(f"format {self.name} {format_spec!r}")
        return format(self.value, format_spec)


class FakeSubprocess:
    """Stands in for the subprocess module: records each `run` call."""

    def __init__(self, result=None, error=None):
        self.calls = []
        self.result = result if result is not None else Completed()
        self.error = error

    def run(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        if self.error is not None:
            raise self.error
        return self.result


@pytest.fixture
def fake(monkeypatch):
    stand_in = FakeSubprocess()
    monkeypatch.setattr(_util, "subprocess", stand_in)
    return stand_in


def reference_error(call):
    """The exception a call raises, for comparing messages."""
    try:
        call()
    except Exception as e:
        return e
    raise AssertionError("the reference call did not fail")


class TestHowTheToolIsStarted:
    @pytest.mark.parametrize("args", [
        (),
        ("list-apps",),
        ("start-app", "car mode"),
        ("switch-launcher", "--start", "kiosk"),
    ])
    def test_argument_vector_then_exactly_three_keywords(self, fake, args):
        runner(*args)
        [(positional, keywords)] = fake.calls
        assert len(positional) == 1
        assert type(positional[0]) is list
        assert positional[0] == [TOOL, *args]
        assert keywords == KEYWORDS
        for (_, value), (_, expected) in zip(keywords, KEYWORDS):
            assert value is expected

    def test_elements_are_the_callers_own_objects(self, fake):
        given = [5, None, b"raw", pathlib.PurePosixPath("a/b"), object(), "text"]
        runner(*given)
        argv = fake.calls[0][0][0]
        assert len(argv) == len(given) + 1
        for passed, received in zip(given, argv[1:]):
            assert received is passed

    def test_every_call_gets_a_new_list(self, fake):
        runner("a")
        fake.calls[0][0][0].append("spoiled")
        runner("a")
        first, second = fake.calls[0][0][0], fake.calls[1][0][0]
        assert first is not second
        assert second == [TOOL, "a"]

    def test_rebinding_subprocess_takes_effect_at_the_next_call(self, fake, monkeypatch):
        runner("one")
        other = FakeSubprocess(Completed(stdout="from the other"))
        monkeypatch.setattr(_util, "subprocess", other)
        assert runner("two") == "from the other"
        assert [c[0][0][1] for c in fake.calls] == ["one"]
        assert [c[0][0][1] for c in other.calls] == ["two"]

    def test_replacing_run_on_the_subprocess_module_takes_effect(self, monkeypatch):
        assert _util.subprocess is subprocess
        seen = []

        def run(argv, **kwargs):
            seen.append(argv)
            return Completed(stdout="replaced")

        monkeypatch.setattr(subprocess, "run", run)
        assert runner("list-apps") == "replaced"
        assert seen == [[TOOL, "list-apps"]]


class TestOutcome:
    @pytest.mark.parametrize("returncode", [0, None, False, 0.0, "", []],
                             ids=repr)
    def test_a_false_status_returns_stdout_itself(self, fake, returncode):
        output = object()
        fake.result = Completed(returncode, stdout=output, stderr="ignored")
        assert runner("x") is output

    @pytest.mark.parametrize("returncode", [1, 2, 255, -9, -15, True, "0", [0]], ids=repr)
    def test_a_true_status_raises(self, fake, returncode):
        fake.result = Completed(returncode, stdout="o", stderr="e")
        with pytest.raises(VorlixException) as caught:
            runner("x")
        assert caught.value.args == ("o\ne",)

    def test_status_is_judged_by_truth_not_by_comparison_with_zero(self, fake):
        class Status:
            def __init__(self, truth):
                self.truth = truth

            def __bool__(self):
                return self.truth

            # Comparisons say the opposite of the truth value.
            def __eq__(self, other):
                return self.truth

            def __ne__(self, other):
                return not self.truth

            __hash__ = None

        fake.result = Completed(Status(False), stdout="fine")
        assert runner() == "fine"
        fake.result = Completed(Status(True), stdout="bad", stderr="")
        with pytest.raises(VorlixException):
            runner()

    def test_a_failing_truth_test_propagates(self, fake):
        class Status:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        fake.result = Completed(Status())
        with pytest.raises(ZeroDivisionError, match="no truth"):
            runner()

    def test_success_never_reads_stderr(self, fake):
        fake.result = Logged(0)
        runner()
        assert fake.result.log == ["returncode", "stdout"]

    def test_failure_reads_and_converts_as_the_f_string_does(self, fake):
        fake.result = Logged(1)
        with pytest.raises(VorlixException) as caught:
            runner()
        assert fake.result.log == ["returncode", "stdout", "format stdout ''",
                                   "stderr", "format stderr ''"]
        assert caught.value.args == ("out\nerr",)

    class Shouty(str):
        def __str__(self):
            return "SHOUTY"

    class Echo:
        def __format__(self, format_spec):
            return f"<format {format_spec!r}>"

    @pytest.mark.parametrize("stdout, stderr", [
        ("a\n", "b\n"),
        ("", ""),
        (None, None),
        ("out only\n", None),
        ("  padded \n\n", "\ttabbed"),
        (3, 4.5),
        (b"bytes", "text"),
        (Shouty("quiet"), Echo()),
    ], ids=["texts", "empty", "none", "one-none", "spacing", "numbers", "bytes", "formatters"])
    def test_message_is_the_f_string_of_both_streams(self, fake, stdout, stderr):
        fake.result = Completed(2, stdout, stderr)
        with pytest.raises(VorlixException) as caught:
            runner("x")
        assert caught.value.args == (f"{stdout}\n{stderr}",)
        assert str(caught.value) == f"{stdout}\n{stderr}"

    def test_a_conversion_that_returns_no_text_fails_as_in_an_f_string(self, fake):
        class Bad:
            def __format__(self, format_spec):
                return 42

        fake.result = Completed(1, Bad(), "")
        expected = reference_error(lambda: f"{Bad()}\n")
        with pytest.raises(type(expected)) as caught:
            runner()
        assert str(caught.value) == str(expected)

    def test_the_error_is_a_fresh_instance_with_one_argument(self, fake):
        fake.result = Completed(1, "a\n", "b\n")
        with pytest.raises(VorlixException) as caught:
            runner()
        error = caught.value
        assert type(error) is VorlixException
        assert error.args == ("a\n\nb\n",)
        assert len(error.args[0]) == 5
        assert error.__cause__ is None
        assert error.__suppress_context__ is False
        assert error.__context__ is None

    def test_context_is_the_exception_the_caller_is_handling(self, fake):
        fake.result = Completed(1)
        handled = LookupError("being handled")
        try:
            raise handled
        except LookupError:
            with pytest.raises(VorlixException) as caught:
                runner()
        assert caught.value.__context__ is handled
        assert caught.value.__cause__ is None

    def test_the_error_type_is_looked_up_at_every_failure(self, fake, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(_util, "VorlixException", Replacement)
        fake.result = Completed(1, "o", "e")
        with pytest.raises(Replacement) as caught:
            runner()
        assert caught.value.args == ("o\ne",)

    def test_an_error_type_that_makes_no_exception_fails_as_raise_does(self, fake, monkeypatch):
        monkeypatch.setattr(_util, "VorlixException", lambda message: message)
        fake.result = Completed(1)

        def raise_text():
            raise (lambda message: message)("x")

        expected = reference_error(raise_text)
        with pytest.raises(type(expected)) as caught:
            runner()
        assert str(caught.value) == str(expected)

    @pytest.mark.parametrize("error", [
        FileNotFoundError(2, "No such file or directory"),
        PermissionError(13, "Permission denied"),
        KeyboardInterrupt(),
        UnicodeDecodeError("utf-8", b"\xe9", 0, 1, "invalid continuation byte"),
        TypeError("expected str, bytes or os.PathLike object, not int"),
    ], ids=lambda e: type(e).__name__)
    def test_whatever_run_raises_passes_through_unwrapped(self, fake, error):
        fake.error = error
        with pytest.raises(BaseException) as caught:
            runner("list-apps")
        assert caught.value is error
        assert error.__context__ is None


class TestNameLookups:
    @pytest.mark.parametrize("name", ["subprocess", "VorlixException"])
    def test_a_missing_name_raises_the_interpreters_name_error(self, fake, monkeypatch, name):
        fake.result = Completed(1)
        monkeypatch.delattr(_util, name)
        expected = reference_error(lambda: eval(name, {"__builtins__": {}}))
        with pytest.raises(NameError) as caught:
            runner()
        assert str(caught.value) == str(expected) == f"name {name!r} is not defined"
        assert caught.value.name == name

    def test_success_does_not_need_the_error_type(self, fake, monkeypatch):
        monkeypatch.delattr(_util, "VorlixException")
        fake.result = Completed(0, "fine")
        assert runner() == "fine"

    def test_the_error_type_is_looked_up_before_the_output_is_read(self, fake, monkeypatch):
        monkeypatch.delattr(_util, "VorlixException")
        fake.result = Logged(1)
        with pytest.raises(NameError):
            runner()
        assert fake.result.log == ["returncode"]

    def test_built_in_names_are_the_fallback(self, monkeypatch):
        stand_in = FakeSubprocess(Completed(1, "o", "e"))

        class FromBuiltins(Exception):
            pass

        monkeypatch.delattr(_util, "subprocess")
        monkeypatch.delattr(_util, "VorlixException")
        monkeypatch.setattr(builtins, "subprocess", stand_in, raising=False)
        monkeypatch.setattr(builtins, "VorlixException", FromBuiltins, raising=False)
        with pytest.raises(FromBuiltins):
            runner("x")
        assert stand_in.calls[0][0][0] == [TOOL, "x"]

    def test_the_modules_own_names_come_before_the_built_in_ones(self, fake, monkeypatch):
        monkeypatch.setattr(builtins, "subprocess", FakeSubprocess(), raising=False)
        runner("x")
        assert len(fake.calls) == 1
        assert builtins.subprocess.calls == []


def reference_runner(*args):
    """A Python function with the runner's parameters."""


reference_runner.__qualname__ = "vorlix"


class TestCallingConvention:

    @pytest.mark.parametrize("args, kwargs", [
        ((), {"x": 1}),
        (("list-apps",), {"text": False}),
        ((), {"args": ("list-apps",)}),
        (("a", "b"), {"capture_output": False, "check": True}),
    ])
    def test_keywords_are_refused_before_anything_runs(self, fake, monkeypatch, args, kwargs):
        # With `subprocess` gone a body that ran would raise NameError.
        monkeypatch.delattr(_util, "subprocess")
        expected = reference_error(lambda: reference_runner(*args, **kwargs))
        with pytest.raises(TypeError) as caught:
            runner(*args, **kwargs)
        assert str(caught.value) == str(expected)

    def test_keywords_that_are_not_text_are_refused_as_for_any_function(self, fake):
        expected = reference_error(lambda: reference_runner(**{1: 2}))
        with pytest.raises(TypeError) as caught:
            runner(**{1: 2})
        assert str(caught.value) == str(expected)
        assert fake.calls == []

    def test_a_star_call_passes_a_tuple_through(self, fake):
        runner(*["list-apps"], *("x",))
        assert fake.calls[0][0][0] == [TOOL, "list-apps", "x"]


class TestAgainstTheTool:
    def test_no_arguments_runs_the_tool_bare(self, sim):
        # The simulated tool refuses a bare call with its usage on stderr.
        with pytest.raises(VorlixException) as caught:
            runner()
        assert sim.calls() == [[]]
        assert caught.value.args[0].startswith("\nusage:")

    @pytest.mark.parametrize("arg", [
        "car mode", "it's \"quoted\"", "$HOME `id` $(id); rm -rf /", "line\nbreak", "",
        "-n", "--start", "*", "tab\there", "trailing \\", "ünïcode ✓",
    ], ids=repr)
    def test_each_argument_arrives_verbatim_as_one_element(self, sim, arg):
        sim.fail("frob", status=0, stdout="done\n")
        assert runner("frob", arg, arg) == "done\n"
        assert sim.calls() == [["frob", arg, arg]]

    @pytest.mark.parametrize("command", [b"list-apps", pathlib.PurePosixPath("list-apps")],
                             ids=["bytes", "path"])
    def test_bytes_and_paths_are_arguments_too(self, sim, command):
        assert runner(command) == sim.read("apps")
        assert sim.calls() == [["list-apps"]]

    @pytest.mark.parametrize("written, returned", [
        ("mail\nnotes\n", "mail\nnotes\n"),
        ("mail\nnotes", "mail\nnotes"),
        ("", ""),
        ("\n\n", "\n\n"),
        ("  padded  \n", "  padded  \n"),
        ("a\r\nb\r\n", "a\nb\n"),
        ("a\rb", "a\nb"),
        ("ünïcode\n", "ünïcode\n"),
    ], ids=repr)
    def test_stdout_comes_back_whole_in_text_mode(self, sim, written, returned):
        sim.set("apps", written)
        assert runner("list-apps") == returned

    def test_stderr_is_dropped_on_success(self, sim):
        sim.fail("frob", status=0, stdout="out\n", stderr="err\n")
        assert runner("frob") == "out\n"

    @pytest.mark.parametrize("status", [1, 2, 3, 127, 255])
    @pytest.mark.parametrize("stdout, stderr", [
        ("a\n", "b\n"),
        ("", ""),
        ("only out", ""),
        ("", "only err\n"),
        ("x\r\ny", "p\rq"),
    ], ids=["both", "neither", "out", "err", "line-ends"])
    def test_failure_message_is_stdout_newline_stderr(self, sim, status, stdout, stderr):
        sim.fail("frob", status=status, stdout=stdout, stderr=stderr)
        with pytest.raises(VorlixException) as caught:
            runner("frob", "operand")
        text = lambda s: s.replace("\r\n", "\n").replace("\r", "\n")  # noqa: E731
        assert caught.value.args == (text(stdout) + "\n" + text(stderr),)

    def test_status_two_with_a_and_b_gives_five_characters(self, sim):
        sim.fail("frob", status=2, stdout="a\n", stderr="b\n")
        with pytest.raises(VorlixException) as caught:
            runner("frob")
        assert str(caught.value) == "a\n\nb\n"

    @pytest.mark.parametrize("signal", [
        "KILL", "TERM", "INT",
        pytest.param("SEGV", marks=pytest.mark.native_only("qemu reports the SIGSEGV on the tool's stderr")),
    ])
    def test_a_tool_ended_by_a_signal_fails(self, sim, signal):
        sim.fail("frob", signal=signal, stdout="partial\n")
        with pytest.raises(VorlixException) as caught:
            runner("frob")
        assert caught.value.args == ("partial\n\n",)

    def test_an_argument_that_is_no_text_is_refused_by_the_standard_library(self, sim):
        expected = reference_error(lambda: subprocess.run([TOOL, "start-app", 5]))
        with pytest.raises(TypeError) as caught:
            runner("start-app", 5)
        assert str(caught.value) == str(expected)
        assert sim.calls() == []

    def test_output_that_cannot_be_decoded_raises_the_decoding_error(self, sim):
        import locale
        if locale.getencoding().lower().replace("-", "") != "utf8":
            pytest.skip("needs a UTF-8 locale")
        sim.set("apps", b"caf\xe9\n")
        with pytest.raises(UnicodeDecodeError):
            runner("list-apps")

    def test_threads_run_the_tool_side_by_side(self, monkeypatch):
        # Both calls must be inside `run` at once for the barrier to open.
        barrier = threading.Barrier(2, timeout=60)

        def run(argv, **kwargs):
            barrier.wait()
            return Completed(stdout=argv[1])

        monkeypatch.setattr(_util, "subprocess", type("Stand", (), {"run": staticmethod(run)}))
        results = {}
        threads = [threading.Thread(target=lambda n=n: results.__setitem__(n, runner(n)))
                   for n in ("one", "two")]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == {"one": "one", "two": "two"}
        assert not barrier.broken

    def test_concurrent_calls_each_start_their_own_tool(self, sim):
        results = []
        threads = [threading.Thread(target=lambda: results.append(runner("list-apps")))
                   for _ in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [sim.read("apps")] * 6
        assert sim.calls() == [["list-apps"]] * 6


@pytest.mark.native_only("a failed exec is reported as exit status 127")
class TestMissingTool:
    def test_a_missing_program_raises_file_not_found(self, tmp_path, monkeypatch):
        # The real run, aimed at a program that is not there.
        def run(argv, **kwargs):
            return subprocess.run([str(tmp_path / "absent"), *argv[1:]], **kwargs)

        monkeypatch.setattr(_util, "subprocess", type("Aimed", (), {"run": staticmethod(run)}))
        with pytest.raises(FileNotFoundError):
            runner("list-apps")

    @pytest.mark.parametrize("tool", ["missing", "not-executable", "directory"])
    def test_the_device_without_a_usable_tool(self, tool):
        # A child in a mount namespace of its own hides /opt/bin behind an
        # empty file system, so the real path itself is missing or unusable.
        code = textwrap.dedent(f"""
            import ctypes, json, os
            libc = ctypes.CDLL(None, use_errno=True)
            MS_REC, MS_PRIVATE = 0x4000, 0x40000
            try:
                os.unshare(os.CLONE_NEWNS)
                if (libc.mount(None, b"/opt/bin", None, MS_REC | MS_PRIVATE, None) != 0
                        or libc.mount(b"tmpfs", b"/opt/bin", b"tmpfs", 0, None) != 0):
                    raise OSError(ctypes.get_errno(), "mount")
            except (AttributeError, OSError) as e:
                print(json.dumps(None))
                raise SystemExit
            if {tool!r} == "not-executable":
                with open("/opt/bin/vorlix", "w") as f:
                    f.write("#!/bin/sh\\necho never\\n")
                os.chmod("/opt/bin/vorlix", 0o644)
            elif {tool!r} == "directory":
                os.mkdir("/opt/bin/vorlix")
            import vorlix
            try:
                vorlix.vorlix("list-apps")
                outcome = "returned"
            except BaseException as e:
                outcome = type(e).__name__
            print(json.dumps(outcome))
        """)
        proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        outcome = json.loads(proc.stdout.splitlines()[-1])
        if outcome is None:
            pytest.skip("cannot make a private mount namespace here")
        expected = {"missing": "FileNotFoundError", "not-executable": "PermissionError",
                    "directory": "PermissionError"}[tool]
        assert outcome == expected


class TestErrorType:
    class VorlixException(Exception): ...

    def test_made_by_the_ordinary_class_protocol_on_exception(self):
        assert type(VorlixException) is type
        assert VorlixException.__bases__ == (Exception,)
        assert VorlixException.__mro__ == (VorlixException, Exception, BaseException, object)

    def test_namespace_holds_only_what_class_creation_puts_there(self):
        reference = self.VorlixException
        assert list(vars(VorlixException)) == list(vars(reference))
        assert VorlixException.__module__ == "vorlix._util"
        assert VorlixException.__name__ == VorlixException.__qualname__ == "VorlixException"
        assert VorlixException.__firstlineno__ == 4
        assert VorlixException.__static_attributes__ == ()
        assert VorlixException.__doc__ is None
        for own in ("__init__", "__new__", "__str__", "__repr__", "__reduce__"):
            assert own not in vars(VorlixException)

    @pytest.mark.parametrize("args", [(), ("message",), ("a", 2), (None,)], ids=repr)
    def test_behaves_as_exception(self, args):
        error = VorlixException(*args)
        plain = Exception(*args)
        assert error.args == args
        assert str(error) == str(plain)
        assert repr(error) == repr(plain).replace("Exception", "VorlixException", 1)

    def test_instances_pickle_by_module_and_name(self):
        error = pickle.loads(pickle.dumps(VorlixException("boom\n")))
        assert type(error) is VorlixException
        assert error.args == ("boom\n",)

    def test_caught_as_exception(self, fake):
        fake.result = Completed(1)
        with pytest.raises(Exception):
            runner()

    def test_an_uncaught_error_is_reported_under_its_full_name(self, sim):
        sim.fail("frob", status=3, stdout="out", stderr="err")
        code = "import vorlix._util as u; u.vorlix('frob')"
        env = {**os.environ, "VORLIX_SIM_STATE": str(sim.state)}
        proc = subprocess.run([sys.executable, "-P", "-c", code], env=env,
                              capture_output=True, text=True)
        assert proc.returncode == 1
        assert proc.stderr.splitlines()[-2:] == ["vorlix._util.VorlixException: out", "err"]


class TestRunnerFunction:
    def test_names_and_documentation(self):
        assert runner.__name__ == runner.__qualname__ == "vorlix"
        assert runner.__module__ == "vorlix._util"
        assert runner.__doc__ is None
        assert runner.__globals__ is vars(_util)

    def test_one_variadic_parameter_and_nothing_else(self):
        assert runner.__defaults__ is None
        assert runner.__kwdefaults__ is None
        code = runner.__code__
        assert code.co_varnames == ("args", "proc")
        assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0, 0)
        assert code.co_flags & inspect.CO_VARARGS
        assert not code.co_flags & inspect.CO_VARKEYWORDS

    def test_annotations_in_order(self):
        assert list(runner.__annotations__.items()) == [("args", str), ("return", str)]

    def test_signature(self):
        signature = inspect.signature(runner)
        assert str(signature) == "(*args: str) -> str"
        [parameter] = signature.parameters.values()
        assert parameter.kind is inspect.Parameter.VAR_POSITIONAL
        assert signature.return_annotation is str


class TestNoLeaks:
    ROUNDS = 100_000

    @staticmethod
    def growth(action, rounds):
        action(1_000)  # warm caches and interned names
        gc.collect()
        before = sys.getallocatedblocks()
        action(rounds)
        gc.collect()
        return sys.getallocatedblocks() - before

    def test_successful_calls(self, fake):
        output = "listing\n"
        fake.result = Completed(0, output)
        argument = "list-apps"
        counts = sys.getrefcount(output), sys.getrefcount(argument), sys.getrefcount(fake.result)

        def calls(n):
            for _ in range(n):
                runner(argument, argument)
            fake.calls.clear()

        assert self.growth(calls, self.ROUNDS) < 1_000
        assert (sys.getrefcount(output), sys.getrefcount(argument),
                sys.getrefcount(fake.result)) == counts

    def test_failing_calls(self, fake):
        fake.result = Completed(1, "out", "err")

        def calls(n):
            for _ in range(n):
                try:
                    runner("x")
                except VorlixException:
                    pass
            fake.calls.clear()

        assert self.growth(calls, self.ROUNDS // 5) < 1_000

    def test_refused_calls(self, fake, monkeypatch):
        monkeypatch.delattr(_util, "subprocess")

        def calls(n):
            for _ in range(n):
                for call in (lambda: runner(x=1), lambda: runner("a")):
                    try:
                        call()
                    except (TypeError, NameError):
                        pass

        assert self.growth(calls, self.ROUNDS // 5) < 1_000
