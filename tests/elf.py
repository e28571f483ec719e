"""Reading a shared object's dynamic section, symbols, segments and notes
with binutils' readelf, which reads an ELF file of any machine, and how its
files were compiled from the build directory's compile database."""

import collections
import json
import re
import shlex
import subprocess
from pathlib import Path

import pytest

# Weak references that the compiler's start-up files add to every shared object.
TOOLCHAIN_WEAK = {"__gmon_start__", "_ITM_registerTMCloneTable", "_ITM_deregisterTMCloneTable",
                  "__cxa_finalize"}

Symbol = collections.namedtuple("Symbol", "name version type bind ndx value")
Segment = collections.namedtuple("Segment", "type offset vaddr filesz memsz flags sections")

# The oldest C library the wheels are tagged for (manylinux_2_17): every
# versioned C library symbol must be at least this old.
GLIBC_FLOOR = (2, 17)


def glibc_version(symbol):
    """GLIBC_2.2.5 as (2, 2, 5); None for a symbol of no C library version."""
    prefix, _, number = symbol.version.partition("_")
    if prefix != "GLIBC" or not number:
        return None
    return tuple(int(part) for part in number.split("."))


def newer_than_the_floor(symbols):
    """The imported symbols that would raise the C library the object needs:
    a version past GLIBC_FLOOR, or a C23 variant (__isoc23_strtol and the
    like, which newer headers substitute for the classic functions)."""
    return [s for s in symbols if s.ndx == "UND" and s.name
            and ((glibc_version(s) or (0,)) > GLIBC_FLOOR or s.name.startswith("__isoc23_"))]


class SharedObject:
    def __init__(self, path):
        self.path = str(path)

    def readelf(self, *options):
        return subprocess.run(["readelf", "-W", *options, self.path], check=True,
                              capture_output=True, text=True).stdout

    def needed(self):
        return [line.split("[", 1)[1].rstrip("]") for line in self.readelf("-d").splitlines()
                if "(NEEDED)" in line]

    def dynamic_symbols(self):
        symbols = []
        for line in self.readelf("--dyn-syms").splitlines():
            fields = line.split()
            # Num: Value Size Type Bind Vis Ndx Name
            if len(fields) < 8 or not fields[0].rstrip(":").isdigit():
                continue
            name, _, version = fields[7].partition("@")
            symbols.append(Symbol(name, version.lstrip("@"), fields[3], fields[4], fields[6],
                                  int(fields[1], 16)))
        return symbols

    def dynamic(self):
        """The dynamic section's entries: tag name to value, as readelf
        prints them ("FLAGS": "BIND_NOW", "INIT": "0x1000")."""
        entries = {}
        for line in self.readelf("-d").splitlines():
            tag, sep, value = line.partition(")")
            if sep and "(" in tag:
                entries[tag.rsplit("(", 1)[1]] = value.strip()
        return entries

    def segments(self):
        """The program headers, each with the sections it maps."""
        text = self.readelf("-l")
        headers, _, mapping = text.partition("Section to Segment mapping:")
        segments = []
        for line in headers.splitlines():
            fields = line.split()
            if len(fields) < 7 or not fields[1].startswith("0x"):
                continue
            # Type Offset VirtAddr PhysAddr FileSiz MemSiz Flg Align; the
            # flags are one to three words ("R E", "RW", "RWE").
            flags = "".join(fields[6:-1])
            segments.append(Segment(fields[0], int(fields[1], 16), int(fields[2], 16),
                                    int(fields[4], 16), int(fields[5], 16), flags, []))
        rows = [line.split() for line in mapping.splitlines() if line.strip()[:2].isdigit()]
        for row in rows:
            segments[int(row[0])].sections.extend(row[1:])
        return segments

    def section_flags(self):
        """Each section's flags as readelf prints them ("AX" for code)."""
        flags = {}
        for line in self.readelf("-S").splitlines():
            match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+[0-9a-f]+\s+[0-9a-f]+\s+(\D*?)\s+\d",
                             line)
            if match:
                flags[match.group(1)] = match.group(2)
        return flags

    def properties(self):
        """The GNU property note's lines ("x86 feature: IBT, SHSTK")."""
        return [line.split("Properties:", 1)[1].strip() for line in self.readelf("-n").splitlines()
                if "Properties:" in line]

    def relative_targets(self, start, size):
        """The addresses that load-time relocations write into [start,
        start + size): the entries of .init_array, say."""
        targets = []
        for line in self.readelf("-r").splitlines():
            fields = line.split()
            if len(fields) == 4 and fields[2].endswith("_RELATIVE") and start <= int(fields[0], 16) < start + size:
                targets.append(int(fields[3], 16))
        return targets

    def read(self, address, size):
        """The bytes of the file that are mapped at a virtual address."""
        for segment in self.segments():
            if segment.type == "LOAD" and segment.vaddr <= address < segment.vaddr + segment.filesz:
                with open(self.path, "rb") as file:
                    file.seek(segment.offset + address - segment.vaddr)
                    return file.read(size)
        raise ValueError(f"{address:#x} is mapped from no part of {self.path}")


def compile_commands(build_dir):
    """The compiler's arguments for each of the module's source files, from
    the build directory's compile database."""
    with open(Path(build_dir) / "compile_commands.json", encoding="utf-8") as file:
        database = json.load(file)
    return {entry["file"]: entry.get("arguments") or shlex.split(entry["command"]) for entry in database}


def unhardened(arguments, target_flag):
    """What a compiler command lacks of the release build's hardening, as
    the compiler would read it: for each setting, the last word that
    names it wins."""
    def last(matches):
        found = [argument for argument in arguments if matches(argument)]
        return found[-1] if found else None

    lacking = []
    if last(lambda a: a.startswith("-O")) in (None, "-O0"):
        lacking.append("optimisation, which the checked copies need")
    if last(lambda a: a.startswith(("-D_FORTIFY_SOURCE", "-U_FORTIFY_SOURCE"))) != "-D_FORTIFY_SOURCE=3":
        lacking.append("-D_FORTIFY_SOURCE=3")
    if last(lambda a: re.fullmatch(r"-f(no-)?stack-protector(-\w+)?", a)) not in (
            "-fstack-protector-strong", "-fstack-protector-all"):
        lacking.append("-fstack-protector-strong")
    if last(lambda a: a.endswith("stack-clash-protection")) != "-fstack-clash-protection":
        lacking.append("-fstack-clash-protection")
    name = target_flag.split("=")[0]
    if last(lambda a: a.split("=")[0] in (name, name.replace("-f", "-fno-", 1))) != target_flag:
        lacking.append(target_flag)
    return lacking


# What each architecture's control-flow protection looks like in the file:
# the property note's line, the marks it must hold, the instructions an
# indirect call may land on, and the compiler flag that makes them.
CONTROL_FLOW = {
    "x86_64": ("x86 feature", {"IBT", "SHSTK"}, (bytes.fromhex("f30f1efa"),),  # endbr64
               "-fcf-protection"),
    # bti c, bti jc, paciasp, pacibsp (the last two land calls as bti c does)
    "aarch64": ("AArch64 feature", {"BTI", "PAC"},
                tuple(bytes.fromhex(word) for word in ("5f2403d5", "df2403d5", "3f2303d5", "7f2303d5")),
                "-mbranch-protection=standard"),
}
OPTIMISED = ("Release", "RelWithDebInfo", "MinSizeRel")


class HardeningChecks:
    """The release build hardened as a distribution hardens what it ships,
    checked on the file; a test module names the architecture (arch) and
    gives the shared object as the fixture elf."""

    arch = None

    def test_binds_every_symbol_at_load(self, elf):
        dynamic = elf.dynamic()
        assert "BIND_NOW" in dynamic.get("FLAGS", "").split()
        assert "NOW" in dynamic.get("FLAGS_1", "").split()
        assert "TEXTREL" not in dynamic

    def test_relocated_data_is_read_only_after_load(self, elf):
        relro = [s for s in elf.segments() if s.type == "GNU_RELRO"]
        assert len(relro) == 1
        assert {".got", ".dynamic", ".data.rel.ro", ".init_array"} <= set(relro[0].sections)

    def test_no_segment_is_both_writable_and_executable(self, elf):
        segments = elf.segments()
        assert [s for s in segments if "W" in s.flags and "E" in s.flags] == []
        stack = [s for s in segments if s.type == "GNU_STACK"]
        assert len(stack) == 1 and "E" not in stack[0].flags

    def test_only_code_is_mapped_executable(self, elf):
        loads = [s for s in elf.segments() if s.type == "LOAD"]
        flags = elf.section_flags()
        executable = [s for s in loads if "E" in s.flags]
        assert executable, "no code segment read"
        for segment in executable:
            assert segment.sections and all("X" in flags[name] for name in segment.sections), segment
        # The ELF and program headers, which no section names.
        assert [s.flags for s in loads if s.offset == 0] == ["R"]

    def test_frames_carry_a_stack_canary(self, elf):
        imported = {s.name for s in elf.dynamic_symbols() if s.ndx == "UND"}
        assert "__stack_chk_fail" in imported
        if self.arch == "aarch64":
            # AArch64's C library keeps the canary in the loader, not in
            # the thread's control block.
            assert "__stack_chk_guard" in imported

    def test_every_file_is_compiled_hardened(self, elf):
        build = Path(elf.path).parent
        cache = (build / "CMakeCache.txt").read_text()
        build_type = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.MULTILINE).group(1)
        if build_type not in OPTIMISED:
            pytest.skip(f"an unoptimised build ({build_type or 'no build type'}): "
                        "the checked copies are the optimised builds'")
        commands = compile_commands(build)
        sources = [f for f in commands if Path(f).suffix == ".cpp"]
        assert len(sources) > 20, "the compile database lists too few files"
        target_flag = CONTROL_FLOW[self.arch][3]
        assert {f: unhardened(commands[f], target_flag) for f in sources} == {f: [] for f in sources}

    def test_control_flow_protection_is_marked(self, elf):
        name, marks, _, _ = CONTROL_FLOW[self.arch]
        features = [p.split(":", 1)[1] for p in elf.properties() if p.startswith(name + ":")]
        assert len(features) == 1, elf.properties()
        assert marks <= {mark.strip() for mark in features[0].split(",")}

    def test_every_entry_called_indirectly_lands_on_a_landing_pad(self, elf):
        # Marked, the processor faults on an indirect call anywhere else:
        # the interpreter calls the entry point, the loader the
        # constructors, the destructors and DT_INIT and DT_FINI.
        pads = CONTROL_FLOW[self.arch][2]
        dynamic = elf.dynamic()
        entries = {"PyInit_vorlix": next(s.value for s in elf.dynamic_symbols()
                                         if s.name == "PyInit_vorlix" and s.ndx != "UND")}
        for tag in ("INIT", "FINI"):
            if tag in dynamic:
                entries[tag] = int(dynamic[tag], 16)
        for array in ("INIT_ARRAY", "FINI_ARRAY"):
            if array in dynamic:
                size = int(dynamic[array + "SZ"].split()[0])
                targets = elf.relative_targets(int(dynamic[array], 16), size)
                assert len(targets) == size // 8, array
                entries |= {f"{array}[{i}]": address for i, address in enumerate(targets)}
        assert len(entries) > 2
        assert {k: a for k, a in entries.items() if elf.read(a, 4) not in pads} == {}
