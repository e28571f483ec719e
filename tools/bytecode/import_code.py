"""Compiles, when the extension is built, the import statements that each
module of the package runs as Python code under CPython 3.15's lazy imports
(extension/import_statements.cpp), so that importing the package need not
compile them from source text at every start.

    python3.X import_code.py OUTPUT MODULE.cpp...

Each module file opens with its Python shape, a comment that numbers its
lines; the module-level import statements there, in the runs that the
module body holds them back in, are written out as the text the extension
makes of them (each at its line, blank lines before), compiled as it
compiles them, and the parts of each code object written to OUTPUT, a C++
include, with the magic number of this interpreter's byte code. The
extension uses an entry only when its own text is the same and the running
interpreter has the same magic number; otherwise it compiles, as before.

The parts are written as C++ data, not marshalled: reading marshal data
raises an audit event that compiling does not. All of them stand in one
string, and each entry holds offsets into it rather than pointers, which
the dynamic loader would have to relocate at every start.
"""

import importlib.util
import re
import sys

LINE = re.compile(r"^//\s+(\d+)(?:  (.*))?$")


def import_runs(path):
    """The runs of module-level import statements: lists of (line, text)."""
    runs, run = [], []
    with open(path, encoding="utf-8") as file:
        comments = file.readlines()
    for comment in comments:
        match = LINE.match(comment.rstrip("\n"))
        if not match or not match.group(2) or match.group(2)[0].isspace():
            continue
        line, text = int(match.group(1)), match.group(2)
        if text.startswith(("import ", "from ")):
            run.append((line, text))
        elif run:
            runs.append(run)
            run = []
    if run:
        runs.append(run)
    return runs


def source(run):
    text, next_line = "", 1
    for line, statement in run:
        text += "\n" * (line - next_line) + statement + "\n"
        next_line = line + 1
    return text


def constants(code):
    """The constants as the extension reads them: space-separated, each a
    natural number or the one name of an import's from-list; None for any
    other."""
    words = []
    for const in code.co_consts:
        if type(const) is int and const >= 0:
            words.append(str(const))
        elif type(const) is tuple and len(const) == 1 and const[0].isidentifier():
            words.append(const[0])
        else:
            return None
    return " ".join(words)


class Data:
    """The one string that every entry's parts stand in."""

    def __init__(self):
        self.data = bytearray()

    def add(self, part):
        offset = len(self.data)
        self.data += part.encode() if isinstance(part, str) else part
        return f"{offset}, {len(self.data) - offset}"


def entry(data, text, code):
    """The C++ initializer of a BuiltCode, or None for code that it cannot
    describe: a constant other than a natural number or a one-name
    from-list (all that the extension's import statements make), or other
    than module code."""
    consts = constants(code)
    if consts is None or code.co_name != "<module>" or code.co_qualname != "<module>" \
            or code.co_varnames or code.co_cellvars or code.co_freevars:
        return None
    parts = [data.add(text), data.add(code.co_code), data.add(" ".join(code.co_names)),
             data.add(consts), data.add(code.co_linetable), data.add(code.co_exceptiontable)]
    return (f"    {{{', '.join(parts)}, {len(code.co_names)}, {len(code.co_consts)}, "
            f"{code.co_stacksize}, {code.co_flags}, {code.co_firstlineno}}},")


def main():
    output, modules = sys.argv[1], sys.argv[2:]
    data, entries = Data(), []
    for path in modules:
        for run in import_runs(path):
            text = source(run)
            made = entry(data, text, compile(text, "", "exec", dont_inherit=True, optimize=0))
            if made is not None:
                entries.append(made)
    magic = int.from_bytes(importlib.util.MAGIC_NUMBER, "little")
    blob = "".join(f"\\x{byte:02x}" for byte in data.data)
    lines = [f"// Made by tools/bytecode/import_code.py with Python {sys.version.split()[0]}.",
             f"constexpr long built_magic = {magic};",
             f'constexpr char built_data[] = "{blob}";',
             "constexpr BuiltCode built_code[] = {", *entries, "};"]
    with open(output, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
