"""Compiles the package's Python text when the extension is built, and
writes what the extension needs of the compiled code as a C++ header per
module.

    python3.X compile_text.py OUTPUT_DIR PACKAGE_DIR MODULE...

Each MODULE (a file name in PACKAGE_DIR, such as `_app.py`) is compiled by
this interpreter's compiler, which must be the CPython the extension is
built for (the same version; byte code does not depend on the
architecture, so a cross build runs the build machine's). Its header,
OUTPUT_DIR/MODULE.hpp, holds:

- the code objects' parts that the run time assembles with the C API on
  first use: each function's annotate code and, on CPython 3.15, the code
  of each run of import statements that lazy imports run as the module's
  own (all the compiler's, nothing rewritten);
- each function's `__code__`: its compiled code, with a body in front that
  raises instead of running it (native_code below), so that it names what
  a Python function's code names; for each class its first line and
  static attributes;
- the magic number of the byte code, which the extension compares with the
  headers it is built against;
- `agrees<table>()`, which checks the module's C++ statement table against
  the text, statement by statement and member by member, and stops the
  build naming the line of the text whose statement differs.

All parts stand in one string per module and are found by offsets, so the
loader relocates nothing for them. The text may hold only what the
extension's module bodies can run: import statements, classes (methods and
properties, an optional base), functions with positional parameters, an
optional *args, None or False defaults and annotations, and assignments of
a call without arguments or of a list of strings; anything else stops the
build.
"""

import ast
import dis
import importlib.util
import opcode
import os
import sys
import types


class Refused(Exception):
    pass


def refuse(path, node, what):
    raise Refused(f"{path}:{getattr(node, 'lineno', 0)}: {what}")


def cxx_string(data):
    """A C++ string literal of the bytes `data`."""
    out = []
    for byte in data:
        char = chr(byte)
        if char in '"\\?':
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")
    return '"' + "".join(out) + '"'


def cxx_text(text):
    return cxx_string(text.encode())


class Data:
    """The one string that a module's parts stand in."""

    def __init__(self):
        self.data = bytearray()

    def part(self, value):
        if isinstance(value, str):
            value = value.encode()
        found = self.data.find(value) if value else 0
        if found < 0:
            found = len(self.data)
            self.data += value
        if found + len(value) > 0xFFFF:
            raise Refused("a module's compiled parts outgrow 64 KiB")
        return f"{{{found}, {len(value)}}}"

    def names(self, names):
        for name in names:
            if not all(part.isidentifier() for part in name.split(".")):
                raise Refused(f"{name!r} is not a name")
        return self.part(" ".join(names))


class NativeBody:
    """The constant that a function's `__code__` raises, made by the
    extension in each interpreter: raising it raises the TypeError that says
    the function's body is native code."""


def encode_constant(value):
    """A constant as the extension reads it back: a tag, then its value."""
    if value is NativeBody:
        return b"X"
    if value is None:
        return b"N"
    if value is True:
        return b"T"
    if value is False:
        return b"F"
    if type(value) is int:
        return b"i" + str(value).encode() + b";"
    if type(value) is str:
        raw = value.encode("utf-8", "surrogatepass")
        return b"s" + str(len(raw)).encode() + b";" + raw
    if type(value) is tuple and not any(type(item) is tuple for item in value):
        return b"t" + str(len(value)).encode() + b";" + b"".join(map(encode_constant, value))
    raise Refused(f"a constant of type {type(value).__name__} in compiled code")


def code_entry(data, code):
    """The C++ initializer of a built code object's parts."""
    if code.co_cellvars or code.co_freevars and code.co_freevars != ("__classdict__",) \
            or code.co_kwonlyargcount or any(isinstance(c, types.CodeType) for c in code.co_consts):
        raise Refused(f"{code.co_qualname}: nested code, cells or keyword-only parameters")
    consts = b"".join(map(encode_constant, code.co_consts))
    fields = [data.part(code.co_name), data.part(code.co_qualname), data.part(code.co_code),
              data.part(consts), data.names(code.co_names), data.names(code.co_varnames),
              data.names(code.co_freevars), data.part(code.co_linetable),
              data.part(code.co_exceptiontable), str(len(code.co_consts)), str(code.co_argcount),
              str(code.co_posonlyargcount), str(code.co_stacksize), str(code.co_flags),
              str(code.co_firstlineno)]
    return "{" + ", ".join(fields) + "}"


def cache_units(name):
    return getattr(opcode, "_inline_cache_entries", {}).get(name, 0)


def line_entry(kind, units):
    """A location table entry for `units` code units (at most eight) of
    `kind`: 15 no location, 13 the line only, unchanged."""
    assert 0 < units <= 8
    return bytes([0x80 | kind << 3 | units - 1]) + (b"\0" if kind == 13 else b"")


def exception_varint(value, first):
    chunks = [value & 63]
    while value >> 6:
        value >>= 6
        chunks.append(value & 63)
    chunks.reverse()
    out = [chunk | 64 for chunk in chunks[:-1]] + [chunks[-1]]
    out[0] |= 128 if first else 0
    return bytes(out)


def native_code(code):
    """The parts of a function's `__code__`: its compiled code, which says
    what a Python function's says (its names, locals, instructions and
    lines), with a body in front that the function never runs: after the
    RESUME, the compiled code's last constant is raised, the extension's
    NativeBody, so that a function made from the code object says why it
    cannot run. The first instruction has no line: monitoring events are
    told at that offset, and a coverage tool that maps an event's offset to
    a line would record lines in the shared object's file, which has no
    source to report them against. The rest keep their lines: a traceback
    entry's frame stands past the first instruction, on the function's own
    line."""
    resume_units = 1 + cache_units("RESUME")
    load, raise_ = dis.opmap["LOAD_CONST"], dis.opmap["RAISE_VARARGS"]
    lines = list(code.co_lines())
    if code.co_code[0] != dis.opmap["RESUME"] or lines[0] != (
            0, 2 * resume_units, code.co_firstlineno):
        raise Refused(f"{code.co_qualname}: does not begin with a RESUME on its first line")
    if len(code.co_consts) > 255 or code.co_linetable[0] & 7 != resume_units - 1:
        raise Refused(f"{code.co_qualname}: too many constants, or a long first location")
    resume = 2 * resume_units
    front = bytes([load, len(code.co_consts), raise_, 1])
    # Each location entry opens with a byte whose top bit is set.
    second_entry = next(i for i, byte in enumerate(code.co_linetable) if i and byte & 0x80)
    linetable = (line_entry(15, 1) + line_entry(13, resume_units - 1 + len(front) // 2)
                 + code.co_linetable[second_entry:])
    exceptiontable = b"".join(
        exception_varint((entry.start + len(front)) // 2, True)
        + exception_varint((entry.end - entry.start) // 2, False)
        + exception_varint((entry.target + len(front)) // 2, False)
        + exception_varint(entry.depth << 1 | entry.lasti, False)
        for entry in dis._parse_exception_table(code))
    native = code.replace(co_code=code.co_code[:resume] + front + code.co_code[resume:],
                          co_consts=code.co_consts + (NativeBody,), co_linetable=linetable,
                          co_exceptiontable=exceptiontable)
    check_native_code(code, native, len(front))
    return native


def check_native_code(code, native, front):
    """What the extension relies on, held here against the compiler's own
    reading of the code object: the lines, the handlers and the names as
    the compiled function's, the first instruction without a line, and a
    function made from it raising NativeBody."""
    shifted = [(start + front if start else 0, end + front, line)
               for start, end, line in code.co_lines()]
    expected = [(0, 2, None), (2, shifted[0][1], code.co_firstlineno), *shifted[1:]]
    if list(native.co_lines()) != expected:
        raise Refused(f"{code.co_qualname}: the lines of its __code__ are not the function's")
    handlers = [(e.start + front, e.end + front, e.target + front, e.depth, e.lasti)
                for e in dis._parse_exception_table(code)]
    if [(e.start, e.end, e.target, e.depth, e.lasti)
            for e in dis._parse_exception_table(native)] != handlers:
        raise Refused(f"{code.co_qualname}: its __code__'s handlers moved")

    def named(c):
        return [(i.opname, i.argval) for i in dis.get_instructions(c)
                if i.opname in ("LOAD_GLOBAL", "LOAD_ATTR", "LOAD_FAST", "STORE_FAST")]

    if named(native) != named(code):
        raise Refused(f"{code.co_qualname}: its __code__ names other things")
    try:
        types.FunctionType(native, {})(*[None] * native.co_argcount)
    except TypeError as refusal:  # raising the class itself, which is no exception
        if "BaseException" not in str(refusal):
            raise Refused(f"{code.co_qualname}: its __code__ does not raise NativeBody")
    else:
        raise Refused(f"{code.co_qualname}: its __code__ runs")


# The canonical text of each statement and member, as the consteval checks
# render the C++ table (extension/module/text_check.hpp).
def annotation_text(path, node):
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Constant) and node.value is None:
        return "None"
    if isinstance(node, ast.Subscript):
        items = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        return annotation_text(path, node.value) + "[" + ", ".join(
            annotation_text(path, item) for item in items) + "]"
    if isinstance(node, ast.List):
        return "[" + ", ".join(annotation_text(path, item) for item in node.elts) + "]"
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return annotation_text(path, node.left) + " | " + annotation_text(path, node.right)
    refuse(path, node, "an annotation other than names, subscripts, lists, None and |")


def signature_text(path, node):
    args = node.args
    if args.posonlyargs or args.kwonlyargs or args.kwarg:
        refuse(path, node, "parameters other than positional ones and *args")
    params = []
    first_default = len(args.args) - len(args.defaults)
    for i, arg in enumerate(args.args):
        text = arg.arg
        if arg.annotation is not None:
            text += ": " + annotation_text(path, arg.annotation)
        if i >= first_default:
            default = args.defaults[i - first_default]
            if not (isinstance(default, ast.Constant) and default.value in (None, False)
                    and type(default.value) is not int):
                refuse(path, default, "a default other than None or False")
            text += " = " + repr(default.value)
        params.append(text)
    if args.vararg:
        text = "*" + args.vararg.arg
        if args.vararg.annotation is not None:
            text += ": " + annotation_text(path, args.vararg.annotation)
        params.append(text)
    text = f"def {node.name}({', '.join(params)})"
    if node.returns is not None:
        text += " -> " + annotation_text(path, node.returns)
    return text


def member_text(path, node):
    if not isinstance(node, ast.FunctionDef):
        refuse(path, node, "a class member other than a method or a property")
    decorators = [d.id if isinstance(d, ast.Name) else None for d in node.decorator_list]
    if decorators not in ([], ["property"]):
        refuse(path, node, "a decorator other than @property")
    return ("@property " if decorators else "") + signature_text(path, node)


def statement_text(path, node):
    if isinstance(node, ast.Import):
        (alias,) = node.names
        return f"import {alias.name}" + (f" as {alias.asname}" if alias.asname else "")
    if isinstance(node, ast.ImportFrom):
        (alias,) = node.names
        return (f"from {'.' * node.level}{node.module or ''} import {alias.name}"
                + (f" as {alias.asname}" if alias.asname else ""))
    if isinstance(node, ast.ClassDef):
        if node.keywords or node.decorator_list or len(node.bases) > 1 or not all(
                isinstance(base, ast.Name) for base in node.bases):
            refuse(path, node, "a class other than `class Name` or `class Name(Base)`")
        return f"class {node.name}" + "".join(f"({base.id})" for base in node.bases)
    if isinstance(node, ast.FunctionDef):
        if node.decorator_list:
            refuse(path, node, "a decorated function at module level")
        return signature_text(path, node)
    if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(
            node.targets[0], ast.Name):
        target, value = node.targets[0].id, node.value
        if isinstance(value, ast.Call) and isinstance(value.func, ast.Name) and not (
                value.args or value.keywords):
            return f"{target} = {value.func.id}()"
        if isinstance(value, ast.List) and all(
                isinstance(item, ast.Constant) and type(item.value) is str for item in value.elts):
            return f"{target} = [" + ", ".join(f'"{item.value}"' for item in value.elts) + "]"
    refuse(path, node, "a statement other than an import, a class, a function or an assignment")


def class_members(path, node):
    members = [member for member in node.body if not isinstance(member, ast.Pass)]
    if len(members) > 1 and any(isinstance(member, ast.Pass) for member in node.body):
        refuse(path, node, "`pass` beside members")
    return members


def static_attributes(class_body):
    """The names the class body binds to `__static_attributes__`."""
    loaded = None
    for instruction in dis.get_instructions(class_body):
        if instruction.opname == "STORE_NAME" and instruction.argval == "__static_attributes__":
            return loaded
        loaded = instruction.argval if instruction.opname == "LOAD_CONST" else None
    raise Refused(f"{class_body.co_qualname}: no __static_attributes__")


def codes_within(code):
    return [c for c in code.co_consts if isinstance(c, types.CodeType)]


def named(codes, qualname):
    found = [c for c in codes if c.co_qualname == qualname and c.co_name != "__annotate__"]
    if len(found) != 1:
        raise Refused(f"no one code object named {qualname}")
    return found[0]


def annotate_of(codes, node):
    """The annotate code that the compiler made for the def `node`, among
    the code objects of its scope: named __annotate__, at the def's line."""
    found = [c for c in codes if c.co_name == "__annotate__" and c.co_firstlineno == node.lineno]
    if len(found) > 1:
        raise Refused(f"line {node.lineno}: more than one annotate function")
    return found[0] if found else None


def import_runs(source, tree):
    """The runs of import statements next to each other at module level,
    each compiled as the module's own code: the run's lines where the text
    has them, every other line blank, so that tracebacks and lazy imports'
    placeholders name the statement's own line."""
    lines = source.splitlines(keepends=True)
    runs, run = [], []
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            run.append(node)
        elif run:
            runs.append(run)
            run = []
    if run:
        runs.append(run)
    for run in runs:
        kept = set()
        for node in run:
            kept.update(range(node.lineno, node.end_lineno + 1))
        text = "".join(line if number in kept else "\n"
                       for number, line in enumerate(lines, start=1))
        yield compile(text, "", "exec", dont_inherit=True, optimize=0)


# What the header needs of the extension: the types of the parts and the
# checks of the table.
TEXT_CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                          "extension", "module", "text_check.hpp")


def module_header(path, namespace, output):
    with open(path, encoding="utf-8") as file:
        source = file.read()
    tree = ast.parse(source, path)
    module_code = compile(source, path, "exec", dont_inherit=True, optimize=0)
    data = Data()
    codes, functions, classes, checks = [], [], [], []
    where = os.path.join(os.path.basename(os.path.dirname(path)), os.path.basename(path))

    def check(condition, line, said):
        message = f"{where}, line {line}: {said}; the module's C++ table says otherwise"
        checks.append(f"    static_assert({condition},\n                  {cxx_text(message)});")

    def add_function(node, scope, qualname):
        code = native_code(named(codes_within(scope), qualname))
        annotate = annotate_of(codes_within(scope), node)
        index = -1
        if annotate is not None:
            index = len(codes)
            codes.append(code_entry(data, annotate))
        functions.append("{" + code_entry(data, code) + f", {index}" + "}")

    top = tree.body
    check(f"std::size(body) == {len(top)}", 1, f"{len(top)} statements at module level")
    for i, node in enumerate(top):
        text = statement_text(path, node)
        check(f"vx::statement_is(body[{i}], {cxx_text(text)})", node.lineno, f"`{text}`")
        if isinstance(node, ast.ClassDef):
            scope = named(codes_within(module_code), node.name)
            members = class_members(path, node)
            check(f"vx::member_count(body[{i}]) == {len(members)}", node.lineno,
                  f"class {node.name} has {len(members)} members")
            attributes = static_attributes(scope)
            classes.append("{" + f"{scope.co_firstlineno}, {data.names(attributes)}" + "}")
            for j, member in enumerate(members):
                text = member_text(path, member)
                check(f"vx::member_is(body[{i}], {j}, {cxx_text(text)})", member.lineno,
                      f"`{text}` in class {node.name}")
                add_function(member, scope, f"{node.name}.{member.name}")
        elif isinstance(node, ast.FunctionDef):
            add_function(node, module_code, node.name)

    runs = []
    if sys.version_info >= (3, 15):
        for run in import_runs(source, tree):
            runs.append(str(len(codes)))
            codes.append(code_entry(data, run))

    def array(kind, name, items):
        if not items:
            return f"inline constexpr std::span<const vx::built::{kind}> {name}{{}};"
        return (f"inline constexpr vx::built::{kind} {name}[] = {{\n    "
                + ",\n    ".join(items) + ",\n};")

    magic = int.from_bytes(importlib.util.MAGIC_NUMBER[:2], "little")
    run_list = (f"inline constexpr std::uint16_t import_runs[] = {{{', '.join(runs)}}};"
                if runs else "inline constexpr std::span<const std::uint16_t> import_runs{};")
    return "\n".join([
        f"// What the extension carries of {where}, as CPython {sys.version.split()[0]}",
        "// compiled it when the extension was built (tools/bytecode/compile_text.py).",
        "#pragma once",
        "",
        "#include <cstdint>",
        "#include <iterator>",
        "#include <span>",
        "",
        f'#include "{os.path.relpath(TEXT_CHECK, output)}"',
        "",
        f"namespace python_text::{namespace} {{",
        "",
        f"inline constexpr long magic_number = {magic};",
        "static_assert(magic_number == VORLIX_PYC_MAGIC_NUMBER,",
        f'              "{where} was compiled by a CPython whose byte code is not the one "',
        '              "of the headers the extension is built against");',
        f"inline constexpr char data[] = {cxx_string(bytes(data.data))};",
        array("Code", "codes", codes),
        array("Function", "functions", functions),
        array("Class", "classes", classes),
        run_list,
        "inline constexpr vx::built::Module module{data, codes, functions, classes, import_runs};",
        "",
        "// The module's statement table, checked against the text.",
        "template <const auto& body>",
        "consteval bool agrees() {",
        *checks,
        "    return true;",
        "}",
        "",
        f"}}  // namespace python_text::{namespace}",
        "",
    ])


def main():
    output, package, modules = sys.argv[1], sys.argv[2], sys.argv[3:]
    os.makedirs(output, exist_ok=True)
    try:
        for module in modules:
            stem = module.removesuffix(".py")
            namespace = "package" if stem == "__init__" else stem.lstrip("_")
            header = module_header(os.path.join(package, module), namespace, output)
            with open(os.path.join(output, stem + ".hpp"), "w", encoding="utf-8") as file:
                file.write(header)
    except Refused as refusal:
        sys.exit(f"compile_text.py: {refusal}")


if __name__ == "__main__":
    main()
