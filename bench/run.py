"""How fast and how small vorlix is, side by side with bench/pyvorlix, the
same package written in plain Python.

Run through `./dev bench`, which builds the module and runs this inside the
dev environment with the built module importable.  Four measurements:

  import      whole-process wall time of `import vorlix` (and of
              `import pyvorlix`) minus that of the floor, a process that
              imports only what the package itself needs from the standard
              library; plus `-X importtime`'s self time of each module, best
              and median, against the target of half the Python package's
  lazy import (CPython 3.15 and later) the time of `__import__` of each
              package in a fresh process under `-X lazy_imports=all`, where
              every module-level import of the package waits for first use;
              and `-X importtime`'s self time there, against the Python
              package's
  overhead    time per operation with `subprocess` replaced by an in-process
              fake, minus the time of calling that fake directly; and the
              time of a few calls with coverage.py's sysmon core measuring
              both packages' branches, over their time with no tool
  end to end  each operation against the simulated device next to a raw
              subprocess.run of the same argument vector
  footprint   size of the stripped shared object; resident memory after the
              import minus after the floor

Everything is interleaved (round by round, in shuffled order) so that load
from other processes on the machine hits both sides alike, and reported as
medians with the min-max of the medians of equal blocks of rounds.

The table is printed and written to bench/results.md, or for another CPython
than the default 3.14 to bench/results-3.X.md (not with --quick), and
README.md's Measured table is made anew from the results files
(bench/readme_table.py).
"""

from __future__ import annotations

import argparse
import compileall
import datetime
import gc
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
import types
import warnings
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
BUILD = Path(os.environ.get("VORLIX_BUILD_DIR", REPO / "build" / f"x86_64-{sys.version_info.major}.{sys.version_info.minor}"))
PYTHON = sys.executable
TOOL = "/opt/bin/vorlix"
BLOCKS = 5

# The floor: a process that imports what the package needs from the
# standard library and nothing of its own.
FLOOR_CODE = "import subprocess, collections.abc"
# For scale: the floor plus a minimal extension module of the standard
# library, which is what loading any extension module at all costs here.
REFERENCE_CODE = FLOOR_CODE + ", _queue"
# Prints VmRSS, RssAnon and RssFile in KiB: the total, and its split into
# private memory and pages of mapped files (the interpreter's and the
# module's code among them).
RSS_CODE = (
    "; f = dict(l.split(':') for l in open('/proc/self/status'))"
    "; print(*(f[k].split()[0] for k in ('VmRSS', 'RssAnon', 'RssFile')))"
)

# Rounds per measurement; --quick divides them.
ROUNDS = {"import": 400, "importtime": 60, "lazy_import": 200, "lazy_importtime": 60,
          "overhead": 40, "coverage": 40, "end_to_end": 300, "rss": 60}
# Lazy imports came with CPython 3.15.
LAZY_IMPORTS = sys.version_info >= (3, 15)

for path in (str(BUILD), str(BENCH)):
    if path not in sys.path:
        sys.path.insert(0, path)

import pyvorlix  # noqa: E402
import pyvorlix._app  # noqa: E402
import pyvorlix._launcher  # noqa: E402
import pyvorlix._util  # noqa: E402
import vorlix  # noqa: E402
import vorlix._app  # noqa: E402
import vorlix._launcher  # noqa: E402
import vorlix._util  # noqa: E402

PACKAGES = {"cpp": vorlix, "py": pyvorlix}


# ---------------------------------------------------------------------------
# Statistics


def blocks_of(values: list[float]) -> list[list[float]]:
    size = max(1, len(values) // BLOCKS)
    return [values[i : i + size] for i in range(0, size * BLOCKS, size) if values[i : i + size]]


def summary(values: list[float]) -> tuple[float, float, float]:
    """Median of all values, and min and max of the medians of the blocks."""
    medians = [statistics.median(b) for b in blocks_of(values)]
    return statistics.median(values), min(medians), max(medians)


def ratio_summary(num: list[float], den: list[float]) -> tuple[float, float, float]:
    """median(num)/median(den), with the min-max of the same ratio per block."""
    ratios = [statistics.median(a) / statistics.median(b) for a, b in zip(blocks_of(num), blocks_of(den))]
    return statistics.median(num) / statistics.median(den), min(ratios), max(ratios)


def load() -> float:
    return os.getloadavg()[0]


# ---------------------------------------------------------------------------
# Import


def child_env() -> dict[str, str]:
    env = dict(os.environ)
    # The same search path for every child, so that the floor pays for the
    # same sys.path entries as the package imports.
    env["PYTHONPATH"] = f"{BUILD}:{BENCH}"
    return env


def wall_ns(argv: list[str], env: dict[str, str]) -> int:
    # posix_spawn rather than subprocess: less work and less jitter in the
    # parent around each measured child.
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"bench: {argv} failed")
    return elapsed


def measure_import(rounds: int) -> dict:
    env = child_env()
    commands = {
        "floor": [PYTHON, "-P", "-c", FLOOR_CODE],
        "cpp": [PYTHON, "-P", "-c", "import vorlix"],
        "py": [PYTHON, "-P", "-c", "import pyvorlix"],
        "ref": [PYTHON, "-P", "-c", REFERENCE_CODE],
    }
    times: dict[str, list[float]] = {k: [] for k in commands}
    for _ in range(10):  # warm the page cache
        for argv in commands.values():
            wall_ns(argv, env)
    for _ in range(rounds):
        order = list(commands)
        random.shuffle(order)
        for key in order:
            times[key].append(wall_ns(commands[key], env) / 1e6)
    floor = times["floor"]
    result = {"floor": summary(floor)}
    for key in ("cpp", "py", "ref"):
        diffs = [a - b for a, b in zip(times[key], floor)]
        own = summary(diffs)
        result[key] = own
        result[key + "_pct"] = tuple(100 * v / result["floor"][0] for v in own)
        result[key + "_total"] = summary(times[key])
    return result


def parse_importtime(text: str, names: set[str]) -> dict[str, int]:
    found = {}
    for line in text.splitlines():
        if not line.startswith("import time:"):
            continue
        fields = line[len("import time:") :].split("|")
        if len(fields) != 3 or not fields[0].strip().isdigit():
            continue
        name = fields[2].strip()
        if name in names:
            found[name] = int(fields[0])
    return found


def measure_importtime(rounds: int, lazy: bool = False) -> dict:
    """Each module's `-X importtime` self time in a fresh process, and the
    sum over the package's modules, best and median. Under lazy imports the
    package binds its names without loading its submodules, so the package
    module alone is timed, imported by `__import__` (an import statement
    there would itself wait for first use)."""
    env = child_env()
    modules = {
        "cpp": ["vorlix", "vorlix._util", "vorlix._app", "vorlix._launcher"],
        "py": ["pyvorlix", "pyvorlix._util", "pyvorlix._app", "pyvorlix._launcher"],
    }
    if lazy:
        modules = {key: names[:1] for key, names in modules.items()}
    flags = ["-X", "lazy_imports=all"] if lazy else []
    samples: dict[str, dict[str, list[int]]] = {k: {m: [] for m in v} for k, v in modules.items()}
    for _ in range(rounds):
        order = list(modules)
        random.shuffle(order)
        for key in order:
            proc = subprocess.run(
                [PYTHON, "-P", *flags, "-X", "importtime", "-c", f"__import__({modules[key][0]!r})"],
                env=env, capture_output=True, text=True, check=True,
            )
            found = parse_importtime(proc.stderr, set(modules[key]))
            for name in modules[key]:
                samples[key][name].append(found[name])
    result = {}
    for key, per_module in samples.items():
        rows = [(name, min(values), statistics.median(values)) for name, values in per_module.items()]
        totals = [sum(vals) for vals in zip(*per_module.values())]
        result[key] = {"modules": rows, "best": min(totals), "total": statistics.median(totals)}
    return result


def measure_lazy_import(rounds: int) -> dict:
    """`__import__` timed inside a fresh process under -X lazy_imports=all
    (a plain `import` statement there would itself be lazy and import
    nothing); the whole process would drown a millisecond in start-up
    noise. The comparator twice: from its compiled files, as an installed
    package, and compiled from source on every run (an empty cache
    directory, nothing written), as when its files cannot be cached."""
    env = child_env()
    code = "import time; t = time.perf_counter_ns(); __import__({!r}); print(time.perf_counter_ns() - t)"
    with tempfile.TemporaryDirectory(prefix="vorlix-bench-") as empty:
        commands = {
            "cpp": ["-c", code.format("vorlix")],
            "py": ["-c", code.format("pyvorlix")],
            "py_source": ["-B", "-X", f"pycache_prefix={empty}", "-c", code.format("pyvorlix")],
        }
        times: dict[str, list[float]] = {k: [] for k in commands}
        for _ in range(rounds):
            order = list(commands)
            random.shuffle(order)
            for key in order:
                argv = [PYTHON, "-P", "-X", "lazy_imports=all", *commands[key]]
                out = subprocess.run(argv, env=env, capture_output=True, text=True, check=True).stdout
                times[key].append(int(out) / 1e6)
    result = {key: summary(values) for key, values in times.items()}
    for key in ("py", "py_source"):
        result[key + "_ratio"] = ratio_summary(times["cpp"], times[key])
    return result


# ---------------------------------------------------------------------------
# Call overhead against an in-process fake of subprocess

STDOUT = {
    "list-apps": "mail\nnotes\ncamera\nmusic\nmaps\nclock\nx\n",
    "list-running-apps": "mail\nmusic\nx\n",
    "list-launchers": "home\nkiosk\ncar mode\nx\n",
    "status": "Current view: x [+]\nApps: 7 installed, 3 running, 1 paused\nLaunchers: 4 installed, 1 active\n",
}

# (label, statement, how the tool is run: "run" or "call", its arguments)
OPERATIONS = [
    ("apps.keys()", "apps.keys()", "run", ["list-apps"]),
    ('"x" in apps', '"x" in apps', "run", ["list-apps"]),
    ('apps["x"]', 'apps["x"]', "run", ["list-apps"]),
    ("App.is_running", "app.is_running", "run", ["list-running-apps"]),
    ("App.start()", "app.start()", "run", ["start-app", "x"]),
    ("apps.running", "apps.running", "run", ["list-running-apps"]),
    ("launchers.current", "launchers.current", "run", ["status"]),
    ("Launcher.is_active", "launcher.is_active", "call", ["is-active-launcher", "x"]),
    ("Launcher.enable(True)", "launcher.enable(True)", "run", ["switch-launcher", "--start", "x"]),
    ('launchers.switch("x")', 'launchers.switch("x")', "run", ["switch-launcher", "x"]),
]


def make_fake(args: list[str], check: bool) -> types.ModuleType:
    """A stand-in for the subprocess module whose run returns a prebuilt
    result and whose call returns 0; with check, it also insists on the
    argument vector and counts its calls."""
    fake = types.ModuleType("subprocess")
    argv = [TOOL, *args]
    result = subprocess.CompletedProcess(argv, 0, STDOUT.get(args[0], ""), "")
    fake.calls = 0

    if check:
        def run(args, text=None, check=None, capture_output=None):
            assert args == argv and (text, check, capture_output) == (True, False, True), args
            fake.calls += 1
            return result

        def call(args):
            assert args == argv, args
            fake.calls += 1
            return 0
    else:
        def run(args, text=None, check=None, capture_output=None):
            return result

        def call(args):
            return 0

    fake.run = run
    fake.call = call
    return fake


def install(fake: types.ModuleType | None) -> None:
    target = fake if fake is not None else subprocess
    for package in PACKAGES.values():
        package._util.subprocess = target
        package._launcher.subprocess = target


def namespaces(fake: types.ModuleType) -> dict[str, dict]:
    spaces = {}
    for key, package in PACKAGES.items():
        spaces[key] = {
            "apps": package.apps,
            "launchers": package.launchers,
            "app": package.App("x"),
            "launcher": package.Launcher("x"),
        }
    spaces["base"] = {"run": fake.run, "call": fake.call}
    return spaces


def baseline_statement(how: str, args: list[str]) -> str:
    argv = repr([TOOL, *args])
    if how == "call":
        return f"call({argv})"
    return f"run({argv}, text=True, check=False, capture_output=True)"


def check_operations() -> None:
    """Both packages reach the fake exactly once per operation, with the
    expected arguments, so no process is started while timing."""
    for label, stmt, how, args in OPERATIONS:
        fake = make_fake(args, check=True)
        install(fake)
        spaces = namespaces(fake)
        for key in PACKAGES:
            before = fake.calls
            eval(compile(stmt, label, "eval"), spaces[key])
            if fake.calls != before + 1:
                raise SystemExit(f"bench: {key} {label} ran the tool {fake.calls - before} times")
    install(None)


def measure_overhead(rounds: int) -> list[dict]:
    check_operations()
    results = []
    timers = []
    for label, stmt, how, args in OPERATIONS:
        fake = make_fake(args, check=False)
        spaces = namespaces(fake)
        entry = {
            "base": timeit.Timer(baseline_statement(how, args), globals=spaces["base"]),
            "cpp": timeit.Timer(stmt, globals=spaces["cpp"]),
            "py": timeit.Timer(stmt, globals=spaces["py"]),
        }
        install(fake)
        # About 5 ms per measurement of the slowest side.
        per_call = min(entry["py"].repeat(3, 2000)) / 2000
        number = max(1000, int(0.005 / per_call))
        timers.append((label, fake, entry, number))
    samples = {label: {k: [] for k in ("base", "cpp", "py")} for label, *_ in timers}
    for _ in range(rounds):
        random.shuffle(timers)
        for label, fake, entry, number in timers:
            install(fake)
            order = list(entry)
            random.shuffle(order)
            for key in order:
                samples[label][key].append(entry[key].timeit(number) / number * 1e9)
    install(None)
    for label, *_ in OPERATIONS:
        s = samples[label]
        own = {k: [op - base for op, base in zip(s[k], s["base"])] for k in ("cpp", "py")}
        results.append({
            "label": label,
            "base": statistics.median(s["base"]),
            "cpp": summary(own["cpp"]),
            "py": summary(own["py"]),
            "ratio": ratio_summary(own["py"], own["cpp"]),
        })
    return results


# Calls timed under coverage.py's sysmon core and with no tool: (label,
# statement); the fake runs the tool for `apps["x"]`.
COVERED = [('App("x")', 'App("x")'), ('apps["x"]', 'apps["x"]')]
COVERED_TARGET = 1.5


def measure_under_coverage(rounds: int) -> list[dict]:
    """Time per call with no tool, then with coverage.py's sysmon core
    measuring both packages' branches, each call seen by it once before the
    timing, as in a program that coverage runs."""
    import coverage  # the dev root's, from Debian

    fake = make_fake(["list-apps"], check=False)
    spaces = {key: {"App": package.App, "apps": package.apps} for key, package in PACKAGES.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # coverage's notes on what it measures
        cov = coverage.Coverage(branch=True, source=[str(BUILD), str(BENCH / "pyvorlix")],
                                data_file=None, config_file=False)
    cov.set_option("run:core", "sysmon")
    install(fake)
    timers = []
    for label, stmt in COVERED:
        for key in PACKAGES:
            timer = timeit.Timer(stmt, globals=spaces[key])
            per_call = min(timer.repeat(3, 2000)) / 2000
            timers.append(((label, key), timer, max(1000, int(0.002 / per_call))))
    samples = {(name, tool): [] for name, *_ in timers for tool in ("none", "coverage")}

    def measure(tool: str) -> None:
        for _ in range(rounds):
            random.shuffle(timers)
            for name, timer, number in timers:
                timer.timeit(1)
                samples[name, tool].append(timer.timeit(number) / number * 1e9)

    # No tool first: coverage leaves its events set on the code it saw when
    # it stops, so the calls after it are not those of a program that no
    # tool ever watched.
    measure("none")
    cov.start()
    try:
        measure("coverage")
    finally:
        cov.stop()
    install(None)
    results = []
    for label, _ in COVERED:
        entry = {"label": label}
        for key in PACKAGES:
            none, covered = samples[(label, key), "none"], samples[(label, key), "coverage"]
            entry[key] = {"none": summary(none), "coverage": summary(covered),
                          "ratio": ratio_summary(covered, none)}
        results.append(entry)
    return results


# ---------------------------------------------------------------------------
# End to end against the simulated device


def device(state: Path) -> None:
    files = {
        "apps": "mail\nnotes\ncamera\nmusic\nmaps\nclock\nx\n",
        "running": "mail\nmusic\n",
        "paused": "maps\n",
        "launchers": "home\nkiosk\ncar mode\nx\n",
        "current": "home\n",
        "enabled": "home\n",
        "active": "home\n",
    }
    state.mkdir(parents=True, exist_ok=True)
    for name, text in files.items():
        (state / name).write_text(text)


def raw_run(*args: str):
    argv = [TOOL, *args]
    return lambda: subprocess.run(argv, text=True, check=False, capture_output=True)


def measure_end_to_end(rounds: int) -> list[dict]:
    install(None)
    apps, launchers = vorlix.apps, vorlix.launchers
    app, launcher = vorlix.App("x"), vorlix.Launcher("x")
    stop_x = raw_run("stop-app", "x")
    # (label, through the package, raw, put the device back afterwards)
    operations = [
        ("apps.keys()", lambda: apps.keys(), raw_run("list-apps"), None),
        ('"x" in apps', lambda: "x" in apps, raw_run("list-apps"), None),
        ('apps["x"]', lambda: apps["x"], raw_run("list-apps"), None),
        ("App.is_running", lambda: app.is_running, raw_run("list-running-apps"), None),
        ("App.start()", lambda: app.start(), raw_run("start-app", "x"), stop_x),
        ("apps.running", lambda: apps.running, raw_run("list-running-apps"), None),
        ("launchers.current", lambda: launchers.current, raw_run("status"), None),
        # The state queries leave the tool's streams alone, as the package does.
        ("Launcher.is_active", lambda: launcher.is_active,
         lambda: subprocess.run([TOOL, "is-active-launcher", "x"]), None),
        ("Launcher.enable(True)", lambda: launcher.enable(True),
         raw_run("switch-launcher", "--start", "x"), None),
        ('launchers.switch("x")', lambda: launchers.switch("x"), raw_run("switch-launcher", "x"), None),
    ]
    with tempfile.TemporaryDirectory(prefix="vorlix-bench-") as tmp:
        state = Path(tmp) / "device"
        device(state)
        os.environ["VORLIX_SIM_STATE"] = str(state)
        # Both sides must succeed the same way, or the comparison is moot.
        for label, pkg, raw, reset in operations:
            for side in (pkg, raw):
                side()
                if reset:
                    reset()
        samples = {label: {"cpp": [], "raw": []} for label, *_ in operations}
        gc.disable()
        try:
            for _ in range(rounds):
                random.shuffle(operations)
                for label, pkg, raw, reset in operations:
                    sides = [("cpp", pkg), ("raw", raw)]
                    random.shuffle(sides)
                    for key, side in sides:
                        start = time.perf_counter_ns()
                        side()
                        samples[label][key].append((time.perf_counter_ns() - start) / 1e6)
                        if reset:
                            reset()
        finally:
            gc.enable()
    results = []
    for label, *_ in OPERATIONS:
        s = samples[label]
        raw = statistics.median(s["raw"])
        # Paired per round, so that a drift in load between rounds cancels.
        extra = summary([a - b for a, b in zip(s["cpp"], s["raw"])])
        results.append({
            "label": label,
            "cpp": statistics.median(s["cpp"]),
            "raw": raw,
            "ratio": tuple(1 + v / raw for v in extra),
        })
    return results


# ---------------------------------------------------------------------------
# Footprint


def shared_object() -> Path:
    return BUILD / ("vorlix" + sysconfig.get_config_var("EXT_SUFFIX"))


def measure_size() -> dict:
    so = shared_object()
    with tempfile.TemporaryDirectory() as tmp:
        copy = Path(tmp) / so.name
        shutil.copyfile(so, copy)
        subprocess.run(["strip", str(copy)], check=True)
        return {"unstripped": so.stat().st_size, "stripped": copy.stat().st_size}


def measure_rss(rounds: int) -> dict:
    env = child_env()
    codes = {"floor": FLOOR_CODE, "cpp": "import vorlix", "py": "import pyvorlix", "ref": REFERENCE_CODE}
    samples: dict[str, list[list[int]]] = {k: [] for k in codes}
    for _ in range(rounds):
        order = list(codes)
        random.shuffle(order)
        for key in order:
            out = subprocess.run([PYTHON, "-P", "-c", codes[key] + RSS_CODE],
                                 env=env, capture_output=True, text=True, check=True).stdout
            samples[key].append([int(v) for v in out.split()])
    floor = samples["floor"]
    result = {"floor": statistics.median(s[0] for s in floor)}
    for key in ("cpp", "py", "ref"):
        diffs = [[a - b for a, b in zip(s, f)] for s, f in zip(samples[key], floor)]
        result[key] = summary([d[0] for d in diffs])
        result[key + "_anon"] = statistics.median(d[1] for d in diffs)
        result[key + "_file"] = statistics.median(d[2] for d in diffs)
    return result


# ---------------------------------------------------------------------------
# Report


def machine() -> dict:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": f"{platform.python_implementation()} {platform.python_version()} ({PYTHON})",
        "kernel": platform.release(),
    }


def fmt_range(values: tuple[float, float, float], spec: str, unit: str = "") -> str:
    mid, low, high = values
    return f"{mid:{spec}}{unit} ({low:{spec}}–{high:{spec}})"


def verdict(ok: bool) -> str:
    return "met" if ok else "**missed**"


def import_rows(imp: dict, it: dict) -> list[tuple[str, ...]]:
    rows = [(
        "Import: floor `import subprocess, collections.abc`, whole process",
        fmt_range(imp["floor"], ".2f", " ms"), "", "", "",
    ), (
        "Import: own cost over the floor, whole process",
        f"{fmt_range(imp['cpp'], '.3f', ' ms')} = {imp['cpp_pct'][0]:.1f}% "
        f"({imp['cpp_pct'][1]:.1f}–{imp['cpp_pct'][2]:.1f}%)",
        f"{fmt_range(imp['py'], '.3f', ' ms')} = {imp['py_pct'][0]:.1f}% "
        f"({imp['py_pct'][1]:.1f}–{imp['py_pct'][2]:.1f}%)",
        "≤ 2% of floor",
        verdict(imp["cpp_pct"][0] <= 2.0),
    ), (
        "Import, for scale: `_queue`, a minimal stdlib extension module, over the floor",
        f"{fmt_range(imp['ref'], '.3f', ' ms')} = {imp['ref_pct'][0]:.1f}%", "", "", "",
    )]
    return rows + importtime_rows(it, "Import", 0.5)


def importtime_rows(it: dict, what: str, target: float) -> list[tuple[str, ...]]:
    """The self time of each module, best and median of the rounds, and of
    the modules together against `target` times the Python package's."""
    rows = []
    count = len(it["cpp"]["modules"])
    for (name, cpp_best, cpp_median), (_, py_best, py_median) in zip(it["cpp"]["modules"],
                                                                     it["py"]["modules"]):
        if count > 1:
            rows.append((f"{what}: `-X importtime` self, `{name}`, best / median",
                         f"{cpp_best:.0f} / {cpp_median:.0f} µs",
                         f"{py_best:.0f} / {py_median:.0f} µs", "", ""))
    together = (f"{count} modules together" if count > 1
                else f"`{it['cpp']['modules'][0][0]}` alone (the submodules wait for first use)")
    ratio = it["cpp"]["best"] / it["py"]["best"]
    rows.append((f"{what}: `-X importtime` self, {together}, best / median",
                 f"{it['cpp']['best']:.0f} / {it['cpp']['total']:.0f} µs = {ratio:.2f}x Python's "
                 f"(medians {it['cpp']['total'] / it['py']['total']:.2f}x)",
                 f"{it['py']['best']:.0f} / {it['py']['total']:.0f} µs",
                 f"≤ {target:g}x Python's (best)", verdict(ratio <= target)))
    return rows


def lazy_import_rows(lazy: dict, it: dict) -> list[tuple[str, ...]]:
    # Loading any extension module costs about 0.2 ms here (`_queue`),
    # which a Python package's compiled files do not: hence the 0.3 ms.
    limit = 1.3 * lazy["py"][0] + 0.3
    rows = []
    for key, how in (("py", "from its compiled files"), ("py_source", "compiled from source")):
        ratio = lazy[key + "_ratio"]
        rows.append((
            f"Import under `-X lazy_imports=all`: `__import__` in a fresh process; Python {how}",
            f"{fmt_range(lazy['cpp'], '.3f', ' ms')} = {ratio[0]:.2f}x Python's "
            f"({ratio[1]:.2f}–{ratio[2]:.2f}x)",
            fmt_range(lazy[key], ".3f", " ms"),
            f"≤ 1.3x Python's from its compiled files + 0.3 ms = {limit:.3f} ms" if key == "py" else "",
            verdict(lazy["cpp"][0] <= limit) if key == "py" else "",
        ))
    return rows + importtime_rows(it, "Import under `-X lazy_imports=all`", 1.0)


# Where each operation's gap to the Python package comes from. Every
# operation looks up and calls Python-level `subprocess` functions, as the
# package must: a call from C into Python code enters the interpreter's eval
# loop anew, where a Python caller pushes a frame in the loop that runs;
# and CPython runs a Python property's getter inline, where ours is called
# through property.__get__. The glue itself (global look-ups, attribute
# reads, building the argument list) costs C about what CPython's
# specialising interpreter spends on it.
GAPS = {
    "apps.keys()": "one call into Python code (the fake `run`) from C",
    '"x" in apps': "as `apps.keys()`, through `__contains__`",
    'apps["x"]': "as `\"x\" in apps`, through `__getitem__` and the `in` test",
    "App.is_running": "a property getter, then `api.running` (a property) and the fake `run`",
    "App.start()": "one call into Python code (the fake `run`) from C",
    "apps.running": "a property getter; the fake `run`; `App` called per line",
    "launchers.current": "a property getter and the fake `run`",
    "Launcher.is_active": "a property getter, and the fake `call` entered from C",
    "Launcher.enable(True)": "one call into Python code (the fake `run`) from C",
    'launchers.switch("x")': "`enable` called by name from C, then the fake `run`",
}


def last_results() -> dict[str, float]:
    """The own overhead of each operation in the results file that this
    run replaces: the median in the package's column."""
    version = f"{sys.version_info.major}.{sys.version_info.minor}"
    path = BENCH / ("results.md" if version == "3.14" else f"results-{version}.md")
    last = {}
    if path.exists():
        for line in path.read_text().splitlines():
            if line.startswith("| Own overhead: `"):
                label = line.split("`")[1]
                last[label] = float(line.split("|")[2].split()[0])
    return last


# Noise between runs on the shared machine: a regression is a median this
# much over the last results' (the larger of the two).
REGRESSION_PERCENT = 5
REGRESSION_NS = 3


def overhead_rows(overhead: list[dict]) -> list[tuple[str, ...]]:
    last = last_results()
    rows = []
    for op in overhead:
        before = last.get(op["label"])
        allowed = None if before is None else before + max(before * REGRESSION_PERCENT / 100,
                                                            REGRESSION_NS)
        rows.append((
            f"Own overhead: `{op['label']}` (fake call itself: {op['base']:.0f} ns); "
            f"gap to Python: {GAPS[op['label']]}",
            fmt_range(op["cpp"], ".0f", " ns"),
            f"{fmt_range(op['py'], '.0f', ' ns')}; {op['ratio'][0]:.2f}x "
            f"({op['ratio'][1]:.2f}–{op['ratio'][2]:.2f}x)",
            "no last results" if before is None else
            f"no regression: ≤ {allowed:.0f} ns (last {before:.0f} ns)",
            "" if allowed is None else verdict(op["cpp"][0] <= allowed),
        ))
    return rows


def coverage_rows(covered: list[dict]) -> list[tuple[str, ...]]:
    def side(entry: dict) -> str:
        return (f"{entry['none'][0]:.0f} → {entry['coverage'][0]:.0f} ns: "
                f"{entry['ratio'][0]:.2f}x ({entry['ratio'][1]:.2f}–{entry['ratio'][2]:.2f}x)")

    return [(
        f"Under coverage.py's sysmon core, branches: `{op['label']}`, no tool → measured",
        side(op["cpp"]), side(op["py"]), f"≤ {COVERED_TARGET}x its time with no tool",
        verdict(op["cpp"]["ratio"][0] <= COVERED_TARGET),
    ) for op in covered]


def end_to_end_rows(end_to_end: list[dict]) -> list[tuple[str, ...]]:
    rows = []
    for op in end_to_end:
        ratio = op["ratio"]
        rows.append((
            f"End to end: `{op['label']}` vs raw subprocess.run",
            f"{op['cpp']:.3f} ms vs {op['raw']:.3f} ms: "
            f"{100 * (ratio[0] - 1):+.2f}% ({100 * (ratio[1] - 1):+.2f}…{100 * (ratio[2] - 1):+.2f}%)",
            "", "within 2%",
            verdict(abs(ratio[0] - 1) <= 0.02),
        ))
    return rows


# The stripped shared object's ceiling: 100 KiB, and 16 for what the
# hardening adds: the stack canaries and landing pads, 4.5 KiB of code, and
# the file's four segments each starting on a page of its own, so that the
# code is mapped apart from the headers and data (up to 4 KiB of padding at
# each boundary, never mapped): 8 KiB in all on CPython 3.14, 16 on 3.15.
SIZE_TARGET_KIB = 116
# The resident memory that the import adds: 256 KiB, and 12 for the same
# segments, each mapped whole pages of its own (8 KiB more of the module's
# file in memory on CPython 3.14, 12 on 3.15; none of it private).
RSS_TARGET_KIB = 268


def footprint_rows(size: dict, rss: dict) -> list[tuple[str, ...]]:
    return [(
        "Footprint: stripped shared object",
        f"{size['stripped'] / 1024:.1f} KiB ({size['stripped']} B; unstripped {size['unstripped'] / 1024:.1f} KiB)",
        "", f"< {SIZE_TARGET_KIB} KiB", verdict(size["stripped"] < SIZE_TARGET_KIB * 1024),
    ), (
        f"Footprint: resident memory over the floor ({rss['floor']:.0f} KiB)",
        f"{fmt_range(rss['cpp'], '.0f', ' KiB')}: anon {rss['cpp_anon']:+.0f}, file {rss['cpp_file']:+.0f}",
        f"{fmt_range(rss['py'], '.0f', ' KiB')}: anon {rss['py_anon']:+.0f}, file {rss['py_file']:+.0f}",
        f"< {RSS_TARGET_KIB} KiB", verdict(rss["cpp"][0] < RSS_TARGET_KIB),
    ), (
        "Footprint, for scale: `_queue`'s resident memory over the floor",
        f"{fmt_range(rss['ref'], '.0f', ' KiB')}: anon {rss['ref_anon']:+.0f}, file {rss['ref_file']:+.0f}",
        "", "", "",
    )]


def table(data: dict) -> list[str]:
    rows = []
    if "import" in data:
        rows += import_rows(data["import"], data["importtime"])
    if "lazy_import" in data:
        rows += lazy_import_rows(data["lazy_import"], data["lazy_importtime"])
    if "overhead" in data:
        rows += overhead_rows(data["overhead"])
    if "coverage" in data:
        rows += coverage_rows(data["coverage"])
    if "end_to_end" in data:
        rows += end_to_end_rows(data["end_to_end"])
    if "size" in data:
        rows += footprint_rows(data["size"], data["rss"])
    head = ("Measure", "vorlix (C++)", "pyvorlix (plain Python comparator)", "Target", "Result")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    return lines + ["| " + " | ".join(row) + " |" for row in rows]


def report(data: dict, meta: dict) -> str:
    loads = ", ".join(f"{name} {value:.2f}" for name, value in meta["loads"])
    preamble = [
        "# vorlix benchmark results",
        "",
        f"Written by `./dev bench` on {meta['date']} at commit {meta['commit']}, "
        f"in {meta['seconds']:.0f} s.",
        "",
        f"- Machine: {meta['machine']['cpu']}, {meta['machine']['cores']} cores, "
        f"Linux {meta['machine']['kernel']}",
        f"- Python: {meta['machine']['python']}",
        f"- Load average (1 min) at the start of each part: {loads} "
        "(the benchmark itself keeps about one core busy)",
        f"- Rounds: {meta['rounds']}",
        "",
        "Medians; in brackets the lowest and highest median of "
        f"{BLOCKS} equal blocks of interleaved rounds.  Own overhead is the time of "
        "an operation with `subprocess` replaced by an in-process fake, minus the "
        "time of calling that fake directly with the same arguments; the ratio is "
        "the comparator's own overhead over vorlix's.  End to end runs each "
        "operation against the simulated device next to a raw call of the same "
        "argument vector, alternating which goes first; the percentage is the "
        "median of the per-round differences over the raw call's median.  "
        "Resident memory is VmRSS, split into private (anon) and file-backed "
        "pages, which include the interpreter's own code that the import pages in.",
        "",
    ]
    return "\n".join(preamble + table(data)) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the rounds, for trying the bench out; results.md is not written")
    parser.add_argument("--only", choices=["import", "overhead", "end_to_end", "footprint"],
                        action="append", help="run only these parts (results.md is not written)")
    options = parser.parse_args()
    rounds = {k: max(5, v // 10) if options.quick else v for k, v in ROUNDS.items()}
    parts = options.only or ["import", "overhead", "end_to_end", "footprint"]
    compileall.compile_dir(BENCH / "pyvorlix", quiet=1)
    started = time.monotonic()
    loads = []
    data = {}
    if "import" in parts:
        loads.append(("import", load()))
        data["import"] = measure_import(rounds["import"])
        data["importtime"] = measure_importtime(rounds["importtime"])
        if LAZY_IMPORTS:
            data["lazy_import"] = measure_lazy_import(rounds["lazy_import"])
            data["lazy_importtime"] = measure_importtime(rounds["lazy_importtime"], lazy=True)
    if "overhead" in parts:
        loads.append(("overhead", load()))
        data["overhead"] = measure_overhead(rounds["overhead"])
        data["coverage"] = measure_under_coverage(rounds["coverage"])
    if "end_to_end" in parts:
        loads.append(("end to end", load()))
        data["end_to_end"] = measure_end_to_end(rounds["end_to_end"])
    if "footprint" in parts:
        loads.append(("footprint", load()))
        data["size"] = measure_size()
        data["rss"] = measure_rss(rounds["rss"])
    loads.append(("end", load()))
    if len(parts) < 4:
        loads_text = ", ".join(f"{name} {value:.2f}" for name, value in loads)
        print(f"load average (1 min): {loads_text}")
        print("\n".join(table(data)))
        return
    meta = {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": os.environ.get("VORLIX_BENCH_COMMIT", "unknown"),
        "seconds": time.monotonic() - started,
        "machine": machine(),
        "loads": loads,
        "rounds": ", ".join(f"{k.replace('_', ' ')} {v}" for k, v in rounds.items()),
    }
    text = report(data, meta)
    print(text)
    if not options.quick:
        version = f"{sys.version_info.major}.{sys.version_info.minor}"
        results = BENCH / ("results.md" if version == "3.14" else f"results-{version}.md")
        results.write_text(text)
        print(f"written to {results}", file=sys.stderr)
        import readme_table  # beside this file, on the path above

        readme_table.update()
        print(f"README.md's Measured table made anew from {results.name} and the other results", file=sys.stderr)


if __name__ == "__main__":
    main()
