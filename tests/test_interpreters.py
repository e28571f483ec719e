"""The package in other people's processes: every interpreter of a process
imports it for itself (isolated and legacy subinterpreters, interpreter
pools, a host that finalises the interpreter and starts it again), and a
host that restores its import state or reloads the package finds it as it
would find a Python package.

Each case runs in a fresh child process, against the built package and,
where the case compares, against the plain-Python twin under the same name."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SESSION = HERE / "hosts" / "session.py"
TWIN = HERE.parent / "bench" / "pyvorlix"

sys.path.insert(0, str(SESSION.parent))
from session import session, vorlix  # noqa: E402

# Where the built package is imported from: D of D/vorlix/__init__...so.
BUILD = os.path.dirname(os.path.dirname(vorlix.__file__))


@pytest.fixture(scope="module")
def twin_path(tmp_path_factory):
    """A directory where the twin imports as `vorlix`."""
    path = tmp_path_factory.mktemp("twin")
    (path / "vorlix").symlink_to(TWIN)
    return str(path)


def run_child(*parts, pythonpath=BUILD):
    """Runs the code `parts` in a fresh interpreter; the JSON value it prints
    last."""
    env = {**os.environ, "PYTHONPATH": pythonpath}
    code = "\n".join(textwrap.dedent(part) for part in parts)
    proc = subprocess.run([sys.executable, "-P", "-c", code],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


# Child code: runs the session in a new interpreter of a kind, which writes
# its answers to a file; the interpreter is destroyed afterwards.
IN_NEW_INTERPRETER = f"""
import json, os, sys, tempfile
import _interpreters
SOURCE = open({str(SESSION)!r}).read()

def run_in(kind, code=SOURCE + "\\nanswer = session()"):
    out = tempfile.mktemp()
    interp = _interpreters.create(_interpreters.new_config(kind))
    try:
        failure = _interpreters.exec(interp, code + f"\\nimport json; open({{out!r}}, 'w').write(json.dumps(answer))")
        if failure:
            return {{"error": [failure.type.__name__, failure.msg]}}
        with open(out) as f:
            return json.load(f)
    finally:
        _interpreters.destroy(interp)
"""


def expected_session():
    """The session's answers in this process: what every other interpreter
    must answer too."""
    return json.loads(json.dumps(session()))


class TestSubinterpreters:
    @pytest.mark.parametrize("kind", ["isolated", "legacy"])
    @pytest.mark.parametrize("main_first", [False, True], ids=["sub-first", "main-first"])
    def test_every_interpreter_imports_and_works(self, sim, kind, main_first):
        expected = expected_session()
        result = run_child(IN_NEW_INTERPRETER, f"""
            if {main_first!r}:
                import vorlix
            first = run_in({kind!r})
            second = run_in({kind!r})
            exec(SOURCE)
            print(json.dumps([first, second, session()]))
        """)
        assert result == [expected] * 3

    def test_the_runner_hook_belongs_to_one_interpreter(self, sim):
        # Rebinding vorlix._util.subprocess in one interpreter changes what
        # that interpreter's runner runs, and nothing in another.
        fake = ("import types, vorlix\n"
                "done = types.SimpleNamespace(returncode=0, stdout='fake\\n', stderr='')\n"
                "vorlix._util.subprocess = types.SimpleNamespace(run=lambda *a, **k: done)\n"
                "answer = vorlix.apps.keys()")
        result = run_child(IN_NEW_INTERPRETER, f"""
            import vorlix
            faked = run_in("isolated", {fake!r})
            print(json.dumps([faked, run_in("isolated", "import vorlix; answer = vorlix.apps.keys()"),
                              vorlix.apps.keys()]))
        """)
        assert result == [["fake"], sim.lines("apps"), sim.lines("apps")]

    def test_cprofile_lists_the_functions_in_a_subinterpreter_too(self, twin_path):
        profiled = ("import cProfile, os, pstats, types, vorlix\n"
                    "done = types.SimpleNamespace(returncode=0, stdout='mail\\n', stderr='')\n"
                    "vorlix._util.subprocess = types.SimpleNamespace(run=lambda *a, **k: done)\n"
                    "profiler = cProfile.Profile()\n"
                    "profiler.runcall(lambda: vorlix.apps['mail'].start())\n"
                    "answer = sorted([os.path.basename(f).split('.')[0], line, name, sorted(\n"
                    "    caller[2] for caller in callers)]\n"
                    "    for (f, line, name), (_, _, _, _, callers) in\n"
                    "    pstats.Stats(profiler).stats.items() if f.startswith(vorlix.__path__[0]))")
        code = [IN_NEW_INTERPRETER, f"print(json.dumps(run_in('isolated', {profiled!r})))"]
        ours, twin = run_child(*code), run_child(*code, pythonpath=twin_path)
        assert ours == twin
        assert sorted(name for _, _, name, _ in ours) == [
            "__contains__", "__getitem__", "__init__", "keys", "start", "vorlix"]

    def test_an_interpreter_pool_runs_operations_in_parallel(self, sim):
        sim.run("list-apps")  # writes the default device
        expressions = {
            "__import__('vorlix').apps.keys()": sim.lines("apps"),
            "__import__('vorlix').launchers.keys()": sim.lines("launchers"),
            "'no such app' in __import__('vorlix').apps": False,
            "__import__('vorlix').vorlix('list-running-apps')": sim.read("running"),
        }
        result = run_child(f"""
            import json
            from concurrent.futures import InterpreterPoolExecutor
            tasks = {list(expressions)!r} * 8
            with InterpreterPoolExecutor(max_workers=4) as pool:
                answers = list(pool.map(eval, tasks, [{{}}] * len(tasks)))
            print(json.dumps([tasks, answers]))
        """)
        tasks, answers = result
        assert len(answers) == len(tasks) == 32
        assert answers == [expressions[task] for task in tasks]

    @pytest.mark.skipif(bool(os.environ.get("VORLIX_SANITIZE")),
                        reason="the sanitizers hold freed memory in quarantine")
    def test_interpreters_made_and_closed_keep_memory_flat(self, sim, twin_path):
        # Each interpreter forgets its own set-up when it is closed. An
        # isolated interpreter that still holds objects at its end keeps its
        # allocator's arenas, a MiB or so a round; the allowance covers the
        # resident size's own noise.
        code = """
            def resident_kib():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
            for _ in range(5):
                run_in("isolated")
            before = resident_kib()
            for _ in range(20):
                assert "error" not in run_in("isolated")
            print(json.dumps(resident_kib() - before))
        """
        ours = run_child(IN_NEW_INTERPRETER, code)
        twins = run_child(IN_NEW_INTERPRETER, code, pythonpath=twin_path)
        assert ours <= max(twins, 0) + 4096, (ours, twins)

    def test_at_the_very_end_the_finders_answer_for_nothing_and_the_loaders_refuse(self):
        # An interpreter lets go of its state when it clears its dictionary,
        # just before its last collection: a finaliser that runs there (of a
        # cycle that the codec registry kept until just before) finds no
        # state to read names through. Module globals are gone by then.
        late = textwrap.dedent(r"""
            import codecs, os, sys, vorlix
            class Late:
                def __init__(self):
                    self.cycle, self.finder, self.spec = self, sys.path_hooks[0], vorlix.__spec__
                    self.directory = self.finder(vorlix.__path__[0])
                def __del__(self, write=os.write, repr=repr, str=str, ImportError=ImportError):
                    answers = [self.directory.find_spec("vorlix._app"),
                               self.directory.iter_modules(), self.finder.find_spec("vorlix._app")]
                    for ask in (lambda: self.spec.loader.create_module(self.spec),
                                self.spec.loader.files):
                        try:
                            answers.append(ask())
                        except ImportError as error:
                            answers.append(str(error))
                    write(1, repr(answers).encode() + b"\n")
            codecs.register(lambda name, late=Late(): None)
        """)
        code = ("import _interpreters\n"
                "sub = _interpreters.create(_interpreters.new_config('isolated'))\n"
                f"_interpreters.exec(sub, {late!r})\n"
                "_interpreters.destroy(sub)\n")
        proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                              env={**os.environ, "PYTHONPATH": BUILD}, timeout=300)
        refused = "vorlix: the package is not set up in this interpreter"
        answers = [None, [], None, refused, refused]
        assert (proc.returncode, proc.stdout) == (0, repr(answers) + "\n")

    # What reads the state finds it cleared, however a program got it
    # cleared, and answers as before the first import; importing again
    # makes a new one.
    PULL_THE_STATE_AWAY = """
        import ctypes, gc, importlib.util, json, sys, vorlix
        states = [o for o in gc.get_objects() if type(o).__name__ == "State"]
        if states and how == "cleared":
            get_slot = ctypes.pythonapi.PyType_GetSlot
            get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
            ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(states[0]), 51))(states[0])
        for holder in gc.get_referrers(*states):
            for key in [k for k, v in holder.items() if v is states[0]] if type(holder) is dict else ():
                del holder[key]
        del states
        answers = []
        class Late:
            def __del__(self):
                answers.append(bool(importlib.util.find_spec("vorlix")))
        vorlix.late = Late()
        for name in [n for n in sys.modules if n.split(".")[0] == "vorlix"]:
            del sys.modules[name]
        del vorlix
        gc.collect()
        import vorlix
        answers += [importlib.util.find_spec("vorlix._app").name, vorlix.App("mail").name,
                    type(vorlix.apps).__name__]
        print(json.dumps(answers))
    """

    @pytest.mark.parametrize("how", ["deleted", "cleared"])
    def test_a_state_pulled_away_never_crashes_and_a_new_import_works(self, how, twin_path):
        code = (f"how = {how!r}", self.PULL_THE_STATE_AWAY)
        assert run_child(*code) == run_child(*code, pythonpath=twin_path)


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    """tests/hosts/embed.c, built against the library of the interpreter that
    runs the tests (the debug one's, under the debug interpreter)."""
    config = sys.executable + "-config"
    if not os.path.exists(config) or shutil.which("cc") is None:
        pytest.skip(f"no compiler or no {config}")
    out = tmp_path_factory.mktemp("host") / "embed"
    flags = subprocess.run([config, "--cflags", "--ldflags", "--embed"],
                           capture_output=True, text=True, check=True).stdout.split()
    subprocess.run(["cc", "-o", str(out), str(HERE / "hosts" / "embed.c"), *flags], check=True)
    return out


@pytest.mark.native_only("builds a C program with the host's compiler")
class TestEmbeddingHost:
    def test_every_round_of_a_reinitialised_interpreter_works(self, sim, host, tmp_path):
        expected = expected_session()
        script = tmp_path / "round.py"
        script.write_text(f"import json, sys\nsys.path.insert(0, {str(SESSION.parent)!r})\n"
                          "from session import session\nprint(json.dumps(session()))\n")
        proc = subprocess.run([str(host), "3", str(script)], capture_output=True, text=True,
                              env={**os.environ, "PYTHONPATH": BUILD}, timeout=300)
        assert proc.returncode == 0, proc.stderr
        assert [json.loads(line) for line in proc.stdout.splitlines()] == [expected] * 3


class TestHostsThatRestoreImportState:
    def test_a_restored_meta_path_gets_the_finder_back_once(self, sim):
        result = run_child("""
            import json, sys
            def ours():
                return [i for i, f in enumerate(sys.meta_path)
                        if not isinstance(f, type) and f.find_spec("vorlix._util", None)]
            saved_path, saved_modules = list(sys.meta_path), dict(sys.modules)
            import vorlix
            sys.meta_path[:] = saved_path
            sys.modules.clear(); sys.modules.update(saved_modules)
            import vorlix
            again = ours()
            del sys.modules["vorlix"]
            import vorlix
            print(json.dumps([again, ours(), vorlix.apps.keys()]))
        """)
        assert result == [[2], [2], sim.lines("apps")]

    @pytest.mark.parametrize("meta_path, how", [
        ("restored", "reload"), ("restored", "reimport"), ("tuple", "reload"),
        ("tuple", "reimport"),
    ])
    def test_submodules_are_found_without_the_package_finder(self, sim, twin_path, meta_path,
                                                             how):
        # The path-based finder finds them again, as it finds a Python
        # package's files; a meta path made a tuple is left as it is.
        code = f"""
            import importlib, json, sys
            saved = list(sys.meta_path)
            if {meta_path!r} == "tuple":
                sys.meta_path = tuple(saved)
            import vorlix
            if {meta_path!r} == "restored":
                sys.meta_path[:] = saved
            old = vorlix._launcher
            if {how!r} == "reload":
                new = importlib.reload(old)
            else:
                del sys.modules["vorlix._launcher"]
                new = importlib.import_module("vorlix._launcher")
            print(json.dumps([type(sys.meta_path).__name__, list(sys.meta_path) == saved,
                              new is old, new.Launcher is old.Launcher, new.api.keys(),
                              type(new.__loader__) is type(old.__loader__)]))
        """
        ours, twin = run_child(code), run_child(code, pythonpath=twin_path)
        assert ours == twin
        assert ours[:3] == [{"restored": "list", "tuple": "tuple"}[meta_path], True,
                            how == "reload"]

    @pytest.mark.parametrize("how", ["reload", "copy"])
    def test_a_failed_run_of_the_package_body_leaves_the_live_package(self, how, twin_path):
        code = f"""
            import importlib, importlib.util, json, sys
            import vorlix
            del vorlix._app.App
            try:
                if {how!r} == "reload":
                    importlib.reload(vorlix)
                else:
                    spec = importlib.util.find_spec("vorlix")
                    spec.loader.exec_module(importlib.util.module_from_spec(spec))
            except BaseException as error:
                outcome = [type(error).__name__, str(error).split(" (")[0],
                           type(error.__context__).__name__]
            print(json.dumps([outcome, sys.modules.get("vorlix") is vorlix]))
        """
        ours, twin = run_child(code), run_child(code, pythonpath=twin_path)
        assert ours == twin
        assert ours == [["ImportError", "cannot import name 'App' from 'vorlix._app'",
                         "NoneType"], True]


# Child code for reading __code__ when a Python function's is simply there:
# while the main interpreter and a subinterpreter shut down; and the first
# read, re-entered by an audit hook on `compile` or made by two threads at
# once (apart, as an audit hook keeps `__del__` from running at the end).
CODE_AT_ANY_TIME = {
    "shutdown": """
        import atexit, inspect, _interpreters
        import vorlix

        LATE = '''
        import inspect, json, os, vorlix
        class Late:
            def __init__(self, f):
                self.f, self.cycle, self.signature = f, self, inspect.signature
            def __del__(self, write=os.write, dumps=json.dumps):
                answer = [list(self.signature(self.f).parameters), self.f.__code__.co_varnames]
                write(1, dumps(answer).encode() + b"\\\\n")
        '''
        sub = _interpreters.create(_interpreters.new_config("isolated"))
        _interpreters.exec(sub, LATE + "late = Late(vorlix.launchers.switch)")
        _interpreters.destroy(sub)
        atexit.register(lambda: print(inspect.signature(vorlix.App.stop), flush=True))
        exec(LATE)
        late = Late(vorlix.Launcher.enable)
    """,
    "first read": """
        import sys, threading
        import vorlix

        seen = []
        def hook(event, args):
            if event == "compile" and not seen:
                seen.append(vorlix.App.pause.__code__)
        sys.addaudithook(hook)
        first = vorlix.App.pause.__code__
        print(first is vorlix.App.pause.__code__, all(code is first for code in seen))
        threads = [threading.Thread(target=lambda: seen.append(vorlix.App.resume.__code__))
                   for _ in range(2)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(seen[-1] is seen[-2] is vorlix.App.resume.__code__)
    """,
    "near the recursion limit": """
        import sys
        import vorlix

        before = set(sys.modules)
        def deep():
            try:
                return deep()
            except RecursionError:
                return vorlix.App.pause.__code__
        print(deep().co_name, sorted(set(sys.modules) - before))
    """,
    "many threads": """
        import threading
        import vorlix

        functions = [vorlix.App.start, vorlix.App.stop, vorlix.App.pause, vorlix.App.resume,
                     vorlix.Launcher.logs, vorlix.Launcher.enable, vorlix.launchers.switch,
                     vorlix.apps.keys, vorlix.vorlix]
        barrier = threading.Barrier(8)
        seen = []
        def read():
            barrier.wait()
            seen.append([f.__code__ for f in functions])
        threads = [threading.Thread(target=read) for _ in range(8)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(all(codes[i] is f.__code__ for codes in seen for i, f in enumerate(functions)))
        print([f.__code__.co_name for f in functions] == [f.__name__ for f in functions])
    """,
    "named as made": """
        import vorlix
        f = vorlix.App.resume
        file = vorlix._app.__file__
        f.__qualname__, vorlix._app.__file__ = "Elsewhere.resume", "/elsewhere.py"
        print(f.__code__.co_qualname, f.__code__.co_filename == file)
    """,
}


class TestCodeObjects:
    @pytest.mark.parametrize("case", list(CODE_AT_ANY_TIME))
    def test_code_answers_at_any_time_and_once(self, case, twin_path):
        def run(pythonpath):
            code = textwrap.dedent(CODE_AT_ANY_TIME[case])
            proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True,
                                  text=True, timeout=300,
                                  env={**os.environ, "PYTHONPATH": pythonpath})
            return proc.returncode, proc.stdout.splitlines(), proc.stderr

        ours, twin = run(BUILD), run(twin_path)
        assert ours == twin
        assert len(ours[1]) in (1, 2, 3) and "False" not in ours[1] and not ours[2]

    def test_a_function_handed_to_another_interpreter_refuses_there(self):
        # Objects moved between interpreters by address are not supported;
        # reading __code__ there must say so rather than crash.
        result = run_child("""
            import json, _interpreters
            import vorlix
            f = vorlix.App.start
            sub = _interpreters.create(_interpreters.new_config("legacy"))
            failure = _interpreters.exec(sub, f'''
            import ctypes
            f = ctypes.cast({id(f)}, ctypes.py_object).value
            f.__code__
            ''')
            _interpreters.destroy(sub)
            print(json.dumps([failure.type.__name__, failure.msg]))
        """)
        assert result == ["RuntimeError", "vorlix: the function start belongs to another "
                          "interpreter; vorlix objects cannot be shared between interpreters"]


# Child code: the first error that leaves one of the package's functions,
# with what the host sees meanwhile: the modules it loads, the audit events
# it raises, and the Python functions it starts besides the package's own
# and the fake tool. A Python function started there could take a pending
# interrupt (its signal handler runs in Python code) where nobody sees it.
FIRST_ERROR = """
    import json, sys, types
    import vorlix

    def fake(returncode, stdout):
        done = types.SimpleNamespace(returncode=returncode, stdout=stdout, stderr="")
        return types.SimpleNamespace(run=lambda *args, **kwargs: done)

    {setup}
    mine = (vorlix.__path__[0], "<string>")
    started, events, recording = [], [], []
    monitoring = sys.monitoring
    monitoring.use_tool_id(3, "probe")
    monitoring.register_callback(3, monitoring.events.PY_START, lambda code, offset: started.append(
        code.co_qualname) if recording and not code.co_filename.startswith(mine) else None)
    monitoring.set_events(3, monitoring.events.PY_START)
    sys.addaudithook(lambda event, args: events.append(event) if recording else None)
    before = set(sys.modules)
    recording.append(True)
    try:
        {action}
    except Exception as error:
        caught = type(error).__name__
    recording.clear()
    print(json.dumps([caught, sorted(set(sys.modules) - before), events, started]))
"""

FIRST_ERRORS = {
    "the tool fails": ("vorlix._util.subprocess = fake(1, '')", "vorlix.App('mail').start()"),
    "an unlisted name": ("vorlix._util.subprocess = fake(0, 'mail\\\\n')", "vorlix.apps['nope']"),
    "status prints nothing": ("vorlix._util.subprocess = fake(0, '')", "vorlix.launchers.current"),
    "a name the module lacks": ("del vorlix._util.subprocess", "vorlix.vorlix('list-apps')"),
    "a keyword no parameter takes": ("", "vorlix.launchers.switch('x', strat=True)"),
}


class TestTheErrorPath:
    @pytest.mark.parametrize("case", list(FIRST_ERRORS))
    def test_the_first_error_loads_raises_and_runs_nothing_more(self, case, twin_path):
        setup, action = FIRST_ERRORS[case]
        code = FIRST_ERROR.format(setup=setup, action=action)
        ours, twin = run_child(code), run_child(code, pythonpath=twin_path)
        assert ours == twin
        assert ours[1:] == [[], [], []]

    def test_every_exception_a_signal_handler_raises_reaches_the_caller(self):
        # A handler runs where the interpreter next checks for signals: in
        # the Python code that the package's failing calls run, on their way
        # to an error (the tool, its exit status, the output the error is
        # made of). Each place raises once; each exception must reach the
        # caller, neither replaced by the package's own error nor lost.
        result = run_child("""
            import json, signal, types
            import vorlix

            def timeout(signum, frame):
                raise TimeoutError
            signal.signal(signal.SIGALRM, timeout)
            interrupt = lambda: signal.raise_signal(signal.SIGALRM)

            class Status(int):
                def __bool__(self):
                    interrupt()
            class Output(str):
                def __format__(self, spec):
                    interrupt()
                def splitlines(self):
                    interrupt()

            def fake(returncode=0, stdout="", in_run=False):
                def run(*args, **kwargs):
                    if in_run:
                        interrupt()
                    return types.SimpleNamespace(returncode=returncode, stdout=stdout, stderr="")
                return types.SimpleNamespace(run=run)

            places = {
                "the tool": (fake(1, in_run=True), lambda: vorlix.App("mail").start()),
                "its exit status": (fake(Status(1)), lambda: vorlix.App("mail").start()),
                "the error's message": (fake(1, Output("x")), lambda: vorlix.App("mail").start()),
                "a listing": (fake(0, Output("mail")), lambda: vorlix.apps["nope"]),
                "the status line": (fake(0, Output("")), lambda: vorlix.launchers.current),
            }
            ends = {}
            for place, (tool, action) in places.items():
                vorlix._util.subprocess = tool
                try:
                    action()
                except BaseException as error:
                    ends[place] = type(error).__name__
            print(json.dumps(ends))
        """)
        assert set(result.values()) == {"TimeoutError"} and len(result) == 5
