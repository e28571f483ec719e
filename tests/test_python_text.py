"""The build holds each module's C++ statement table to its Python text
(bench/pyvorlix): when the two disagree, compiling the module stops and
names the line of the text that the table no longer says. Each case changes
a copy of the text, compiles it as the build does, and compiles the
module's C++ file against it with the build's own command."""

import importlib.machinery
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from elf import compile_commands

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(importlib.machinery.PathFinder.find_spec("vorlix").origin).parent

pytestmark = [
    pytest.mark.native_only("runs the build's compiler"),
    pytest.mark.skipif(not (BUILD / "compile_commands.json").exists(),
                       reason="the package is not imported from its build directory"),
]


def compile_module(tmp_path, module, changes=()):
    """Compiles vorlix/<module>.cpp against the text with `changes` (pairs
    of the text's old and new words) made; the compiler's outcome."""
    text = tmp_path / "pyvorlix"
    shutil.copytree(ROOT / "bench" / "pyvorlix", text,
                    ignore=shutil.ignore_patterns("__pycache__"))
    source = text / f"{module}.py"
    for old, new in changes:
        assert old in source.read_text()
        source.write_text(source.read_text().replace(old, new, 1))
    made = subprocess.run([sys.executable, ROOT / "tools" / "bytecode" / "compile_text.py",
                           tmp_path / "python_text", text, f"{module}.py"],
                          capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    command = compile_commands(BUILD)[str(ROOT / "vorlix" / f"{module}.cpp")]
    # The changed text's header first; no object written.
    out = command.index("-o")
    command = [command[0], f"-I{tmp_path}", *command[1:out], *command[out + 2:], "-fsyntax-only"]
    return subprocess.run(command, capture_output=True, text=True, cwd=BUILD)


def test_the_text_as_it_stands_compiles(tmp_path):
    done = compile_module(tmp_path, "_util")
    assert done.returncode == 0, done.stderr


# Each module's text changed in a few places at once: every difference is
# named, each by its own line.
@pytest.mark.parametrize("module, changes", [
    ("_util", [
        (("*args: str", "*args: bytes"), "_util.py, line 8: `def vorlix(*args: bytes) -> str`"),
        (("class VorlixException(Exception)", "class VorlixException(LookupError)"),
         "_util.py, line 4: `class VorlixException(LookupError)`"),
    ]),
    ("_app", [
        (("key: str) -> bool", "item: str) -> bool"),
         "_app.py, line 36: `def __contains__(self, item: str) -> bool` in class API"),
        (("    def stop(self)", "    def halt(self) -> None:\n        pass\n\n    def stop(self)"),
         "_app.py, line 4: class App has 8 members"),
    ]),
    ("_launcher", [
        (("import subprocess\nfrom collections.abc import Callable",
          "from collections.abc import Callable\nimport subprocess"),
         "_launcher.py, line 1: `from collections.abc import Callable`"),
        (("def enable(self, start: bool = False)", "def enable(self, start: bool = None)"),
         "_launcher.py, line 30: `def enable(self, start: bool = None) -> None` in class Launcher"),
        (("    @property\n    def is_current", "    def is_current"),
         "_launcher.py, line 36: `def is_current(self) -> bool` in class Launcher"),
    ]),
    ("__init__", [
        (('"launchers", ', ""),
         '__init__.py, line 8: `__all__ = ["App", "apps", "Launcher", "VorlixException", '
         '"vorlix"]`'),
    ]),
], ids=["_util", "_app", "_launcher", "__init__"])
def test_a_table_that_disagrees_with_the_text_stops_the_build(tmp_path, module, changes):
    done = compile_module(tmp_path, module, [change for change, _ in changes])
    assert done.returncode != 0
    assert [named for _, named in changes if named not in done.stderr] == []


@pytest.mark.parametrize("source, refused", [
    ("def f(*, key: str) -> None:\n    pass\n", "positional ones and *args"),
    ("def f(x: int = 3) -> None:\n    pass\n", "a default other than None or False"),
    ("x = 1\n", "a statement other than"),
    ("class A:\n    @staticmethod\n    def f() -> None:\n        pass\n", "@property"),
    ("def f(x: 'A') -> None:\n    pass\n", "an annotation other than"),
])
def test_text_that_module_bodies_cannot_run_stops_the_build(tmp_path, source, refused):
    (tmp_path / "text").mkdir()
    (tmp_path / "text" / "m.py").write_text(source)
    made = subprocess.run([sys.executable, ROOT / "tools" / "bytecode" / "compile_text.py",
                           tmp_path / "out", tmp_path / "text", "m.py"],
                          capture_output=True, text=True)
    assert made.returncode != 0
    assert "m.py:" in made.stderr and refused in made.stderr
