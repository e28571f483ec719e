"""The runtime (extension/) speaks for the package it serves: the types it
makes are the package's (their `__module__`, and the dotted name the
interpreter's messages give), and its reprs and messages name the package,
each spelled as it always was. Yet the runtime's own sources spell no name
of the package: the name reaches it through the module table alone, whose
first row, the package's own, gives it, and which the build refuses when
the runtime could not serve it."""

import gc
import importlib.machinery
import re
import struct
import subprocess
import sys
import textwrap
import types
from importlib import resources
from pathlib import Path

import pytest

import vorlix
import vorlix._app
from elf import compile_commands

ROOT = Path(__file__).resolve().parents[1]
EXTENSION = ROOT / "extension"
BUILD = Path(importlib.machinery.PathFinder.find_spec("vorlix").origin).parent


def package_finder():
    return next(f for f in sys.meta_path
                if not isinstance(f, type) and f.find_spec("vorlix._util", None) is not None)


def native_body():
    return next(c for c in vorlix._app.App.start.__code__.co_consts if isinstance(c, type))


def the_state():
    states = [o for o in gc.get_objects() if type(o).__name__ == "State"]
    assert len(states) == 1
    return states[0]


# Each type the runtime makes: how to reach one of its objects, and the
# name the interpreter's messages give the type (its tp_name).
TYPES = {
    "Loader": (lambda: vorlix.__loader__, "vorlix.Loader"),
    "Finder": (package_finder, "vorlix.Finder"),
    "DirectoryFinder": (lambda: package_finder()(vorlix.__path__[0]), "vorlix.DirectoryFinder"),
    "ResourcePath": (lambda: resources.files(vorlix), "vorlix.ResourcePath"),
    "NativeBody": (native_body, "vorlix.NativeBody"),
    "State": (the_state, "vorlix.State"),
    # Named in messages as Python's function type is.
    "function": (lambda: vorlix._app.App.start, "function"),
}


class TestTypes:
    @pytest.mark.parametrize("name", TYPES)
    def test_each_type_belongs_to_the_package(self, name):
        reach, message_name = TYPES[name]
        found = reach()
        made = found if name == "NativeBody" else type(found)
        assert (made.__module__, made.__qualname__, made.__name__) == ("vorlix", name, name)
        with pytest.raises(TypeError) as refused:
            made.anything = None
        assert str(refused.value) == (f"cannot set 'anything' attribute of immutable type "
                                      f"'{message_name}'")

    def test_the_states_key_names_the_package_and_this_copy(self):
        state = the_state()
        keys = [key for holder in gc.get_referrers(state) if type(holder) is dict
                for key, value in holder.items() if value is state]
        assert len(keys) == 1
        assert re.fullmatch(r"vorlix@[0-9a-f]{%d}" % (2 * struct.calcsize("P")), keys[0])


class TestWords:
    @pytest.mark.parametrize("module", ["vorlix", "vorlix._util", "vorlix._app",
                                        "vorlix._launcher"])
    def test_a_loader_names_its_module(self, module):
        assert repr(sys.modules[module].__loader__) == f"<vorlix loader for '{module}'>"

    def test_the_finder_and_the_directorys(self):
        finder = package_finder()
        assert repr(finder) == "<vorlix finder>"
        assert repr(finder(vorlix.__path__[0])) == f"<vorlix finder for {vorlix.__path__[0]!r}>"
        with pytest.raises(ImportError) as refused:
            finder("/elsewhere")
        assert (str(refused.value), refused.value.path) == ("not the vorlix package directory",
                                                            "/elsewhere")

    def test_a_function_made_from_a_code_object_says_why_it_cannot_run(self):
        made = types.FunctionType(vorlix._app.App.start.__code__, {})
        with pytest.raises(TypeError) as refused:
            made(None)
        assert str(refused.value) == (
            "this function was made from the code object of a vorlix function, which describes "
            "its parameters only: the body is native code and does not come with it")


# A C++ file's comments, and its string and character literals (any
# encoding prefix, raw or not); #include names its file as a string literal.
LEXEMES = re.compile(r"""
    (?P<comment> //[^\n]* | /\*.*?\*/ )
  | (?:u8|[uUL])? R" (?P<delimiter>[^(\s]*) \( (?P<raw>.*?) \) (?P=delimiter) "
  | (?:u8|[uUL])? " (?P<text>(?:\\.|[^"\\\n])*) "
  | (?:u8|[uUL])? ' (?:\\.|[^'\\\n])* '
""", re.S | re.X)


def string_literals(source):
    """The string literals of C++ `source`, those written side by side (which
    the compiler joins) as one."""
    def blank_comment(lexeme):
        return " " if lexeme["comment"] else lexeme[0]

    code = LEXEMES.sub(blank_comment, source)
    literals, joined_up_to = [], None
    for lexeme in LEXEMES.finditer(code):
        text = lexeme["raw"] if lexeme["raw"] is not None else lexeme["text"]
        if text is None:
            continue
        if joined_up_to is not None and code[joined_up_to:lexeme.start()].isspace():
            literals[-1] += text
        else:
            literals.append(text)
        joined_up_to = lexeme.end()
    return literals


RUNTIME = sorted(p for p in EXTENSION.rglob("*") if p.suffix in (".cpp", ".hpp"))


class TestSources:
    def test_literals_are_read_as_the_compiler_reads_them(self):
        source = textwrap.dedent(r'''
            // "in a comment"
            #include "core/names.hpp"
            const char* a = "one " /* "between" */ "part";
            const char* b = "joined "
                            "over lines";
            const char c = '"';
            const char* d = R"x(raw "quoted")x" u8"\"escaped\"";
        ''')
        assert string_literals(source) == ["core/names.hpp", "one part", "joined over lines",
                                           'raw "quoted"\\"escaped\\"']

    @pytest.mark.parametrize("path", RUNTIME, ids=lambda p: str(p.relative_to(EXTENSION)))
    def test_the_runtime_spells_no_name_of_the_package(self, path):
        source = path.read_text()
        assert [s for s in string_literals(source) if vorlix.__name__ in s.lower()] == []
        # Nor does its code name anything of the package's, its entry point
        # say; its comments may.
        assert vorlix.__name__ not in LEXEMES.sub(" ", source)


# Module tables, each row as the C++ writes it, and the name the build's
# refusal gives when the runtime could not serve the table.
ROWS = {
    "one it can serve": (['{"vorlix", true, &code}', '{"vorlix._app", false, &code}', "{}"], None),
    "a name that is not a C string": (
        ['{{"vorlix_", 6}, true, &code}', '{"vorlix._app", false, &code}', "{}"],
        "the_first_row_is_the_package_and_its_name_a_short_literal"),
    "a name longer than the runtime spells": (
        [f'{{"{"v" * 33}", true, &code}}', "{}"],
        "the_first_row_is_the_package_and_its_name_a_short_literal"),
    "a module outside the package": (
        ['{"vorlix", true, &code}', '{"vorlixx._app", false, &code}', "{}"],
        "every_other_row_is_a_module_below_the_package"),
    "a second package": (
        ['{"vorlix", true, &code}', '{"vorlix.sub", true, &code}', "{}"],
        "every_other_row_is_a_module_below_the_package"),
    "no empty row": (['{"vorlix", true, &code}', '{"vorlix._app", false, &code}'],
                     "the_table_ends_with_its_one_empty_row"),
}


@pytest.mark.native_only("runs the build's compiler")
@pytest.mark.skipif(not (BUILD / "compile_commands.json").exists(),
                    reason="the package is not imported from its build directory")
@pytest.mark.parametrize("case", ROWS)
def test_a_table_the_runtime_cannot_serve_stops_the_build(tmp_path, case):
    rows, refusal = ROWS[case]
    source = tmp_path / "package.cpp"
    source.write_text(textwrap.dedent(f"""\
        #include "{EXTENSION}/core/module_table.hpp"
        struct vx::ModuleCode {{}};
        constexpr vx::ModuleCode code{{}};
        constexpr vx::ModuleRow rows[] = {{{", ".join(rows)}}};
        constexpr vx::Package package{{rows}};
    """))
    # The package's own file compiles as the build compiles it.
    command = compile_commands(BUILD)[str(ROOT / "vorlix" / "__init__.cpp")]
    out = command.index("-o")
    command = [*command[:out], *command[out + 2:-1], str(source), "-fsyntax-only"]
    done = subprocess.run(command, capture_output=True, text=True, cwd=BUILD)
    if refusal is None:
        assert done.returncode == 0, done.stderr
    else:
        assert done.returncode != 0
        assert refusal in done.stderr
