"""Compiles, when the extension is built, the import statements that each
module of the package runs as Python code under CPython 3.15's lazy imports
(extension/module/import_statements.cpp), so that importing the package need
not compile them from source text at every start.

    python3.X import_code.py OUTPUT MODULE.cpp...

The key that the extension finds an entry by is the text of a run of import
statements, and both sides make it the same way, from the same statements:
the module body's own `body.import_module(...)` and `body.from_import(...)`
calls, in the runs that the body holds them back in (ended by any other
statement), each written as ImportStatements::add writes it (statement_text
below is that function's rule). A call whose arguments are not all string
literals stops the build rather than leave the extension to compile. Each
text is compiled as the extension compiles it, and the parts of each code
object are written to OUTPUT, a C++ include, with the magic number of this
interpreter's byte code. The extension uses an entry only when its own text
is the same and the running interpreter has the same magic number;
otherwise it compiles, as before (tests/test_lazy_imports.py checks that it
does not).

The parts are written as C++ data, not marshalled: reading marshal data
raises an audit event that compiling does not. All of them stand in one
string, and each entry holds offsets into it rather than pointers, which
the dynamic loader would have to relocate at every start.
"""

import importlib.util
import re
import sys

# A statement of a module body: body.NAME(ARGUMENTS);
STATEMENT = re.compile(r"\bbody\.(\w+)\(([^;]*)\);")
LITERAL = re.compile(r'\s*"([^"\\]*)"\s*(?:,|$)')


def arguments(text, path, call):
    """The string literals that a call passes, in order."""
    found, at = [], 0
    while at < len(text):
        match = LITERAL.match(text, at)
        if not match:
            sys.exit(f"{path}: body.{call}({text}): import_code.py reads string literals only")
        found.append(match.group(1))
        at = match.end()
    return found


def import_runs(path):
    """The runs of import statements in the module body of `path`, each a
    list of (from, module, level, name, alias) as the body hands them to
    ImportStatements::add."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    runs, run = [], []
    for match in STATEMENT.finditer(text):
        call = match.group(1)
        if call == "import_module":
            (name,) = arguments(match.group(2), path, call)
            run.append((False, "", 0, name, ""))
        elif call == "from_import":
            module, name, *alias = arguments(match.group(2), path, call)
            level = len(module) - len(module.lstrip("."))
            run.append((True, module[level:], level, name, alias[0] if alias else ""))
        elif run:
            runs.append(run)
            run = []
    if run:
        runs.append(run)
    return runs


def texts(runs):
    """The text of each run of a module, by ImportStatements::add's rule: a
    statement a line, each run's text from line 1 but its statements
    numbered on from the run before, and a blank line before a relative
    import that follows an absolute one (the standard library's imports,
    then the package's own)."""
    line, after_absolute = 1, False
    for run in runs:
        text, lines = "", 1
        for from_, module, level, name, alias in run:
            if level > 0 and after_absolute:
                line += 1
            after_absolute = level == 0
            text += "\n" * max(line - lines, 0)
            lines = max(lines, line)
            statement = f"from {'.' * level}{module} import {name}" if from_ else f"import {name}"
            text += statement + (f" as {alias}" if alias else "") + "\n"
            lines += 1
            line += 1
        yield text


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
        for text in texts(import_runs(path)):
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
