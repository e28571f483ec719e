"""The arm64 shared object, the product for Linux on AArch64, as the dynamic
loader sees it: built for AArch64, needing no library beyond the C and
maths libraries, exporting the entry point alone, taking every
interpreter function from the host, and hardened as the x86_64 build is.

It is read with the build machine's readelf (which reads any ELF file), so
this runs in the x86_64 run after ./dev build --arch aarch64; the emulated
run has no binutils and skips it.
"""

import shutil
from pathlib import Path

import pytest

from elf import TOOLCHAIN_WEAK, HardeningChecks, SharedObject, newer_than_the_floor

# One build per CPython: build/aarch64-3.14, build/aarch64-3.15.
BUILD = Path(__file__).resolve().parent.parent / "build"
SHARED_OBJECTS = sorted(BUILD.glob("aarch64-3.*/vorlix.cpython-3*-aarch64-linux-gnu.so"))

pytestmark = [
    pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf"),
    pytest.mark.skipif(not SHARED_OBJECTS,
                       reason="no build/aarch64-3.X: ./dev build --arch aarch64 makes it"),
]


@pytest.fixture(params=SHARED_OBJECTS or [None], ids=lambda path: path and path.parent.name)
def elf(request):
    return SharedObject(request.param)


def header(elf):
    fields = {}
    for line in elf.readelf("-h").splitlines():
        key, sep, value = line.strip().partition(":")
        if sep:
            fields[key] = value.strip()
    return fields


class TestTarget:
    def test_a_64_bit_little_endian_aarch64_shared_object(self, elf):
        fields = header(elf)
        assert fields["Machine"] == "AArch64"
        assert fields["Class"] == "ELF64"
        assert fields["Data"] == "2's complement, little endian"
        assert fields["Type"].startswith("DYN ")


class TestLinking:
    def test_needs_only_the_c_and_maths_libraries(self, elf):
        needed = elf.needed()
        assert "libc.so.6" in needed
        # And the loader, already in every process, for the stack canary
        # that AArch64's C library keeps there (__stack_chk_guard).
        assert set(needed) <= {"libc.so.6", "libm.so.6", "ld-linux-aarch64.so.1"}

    def test_c_library_symbols_are_no_newer_than_the_wheel_tag_allows(self, elf):
        symbols = elf.dynamic_symbols()
        assert any(s.version.startswith("GLIBC_") for s in symbols), "no versioned symbol read"
        assert newer_than_the_floor(symbols) == []

    def test_exports_exactly_the_entry_point(self, elf):
        defined = [s for s in elf.dynamic_symbols() if s.ndx != "UND" and s.name]
        # The AArch64 linker keeps the symbols of one text and one data
        # section (.init, .data) in the dynamic symbol table of every shared
        # object.  They are local, so nothing can bind to them; anything
        # else defined there must be the entry point.
        index_sections = [s for s in defined if s.type == "SECTION" and s.bind == "LOCAL"]
        assert len(index_sections) <= 2
        exported = [s for s in defined if s not in index_sections]
        assert [(s.name, s.type, s.bind) for s in exported] == [("PyInit_vorlix", "FUNC", "GLOBAL")]

    def test_interpreter_functions_come_from_the_host_unversioned(self, elf):
        undefined = [s for s in elf.dynamic_symbols() if s.ndx == "UND" and s.name]
        python = [s for s in undefined if s.name.startswith(("Py", "_Py"))]
        assert python, "no interpreter function is imported"
        assert all(s.version == "" for s in python)

    def test_everything_else_is_versioned_c_library_or_toolchain(self, elf):
        undefined = [s for s in elf.dynamic_symbols() if s.ndx == "UND" and s.name]
        others = [s for s in undefined if not s.name.startswith(("Py", "_Py"))]
        for symbol in others:
            if symbol.name in TOOLCHAIN_WEAK:
                assert symbol.bind == "WEAK", symbol
            else:
                assert symbol.version.startswith("GLIBC_"), symbol
        # Nothing of the C++ runtime or of libgcc_s: no mangled names, no
        # unwinder, no out-of-line atomics helpers.
        assert not [s for s in others if s.name.startswith(("_Z", "_Unwind", "__gxx", "__cxa_",
                                                              "__aarch64_"))
                    and s.name not in TOOLCHAIN_WEAK]


class TestHardening(HardeningChecks):
    arch = "aarch64"
