"""The shared object as the dynamic loader and the interpreter see it: one
exported entry point, no libraries beyond the C and maths libraries, every
interpreter function taken from the host, hardened as a distribution
hardens what it ships, and the module definition that the entry hands
back."""

import ctypes
import importlib.machinery
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from elf import TOOLCHAIN_WEAK, HardeningChecks, SharedObject, newer_than_the_floor

SHARED_OBJECT = importlib.machinery.PathFinder.find_spec("vorlix").origin
ELF = SharedObject(SHARED_OBJECT)

pytestmark = pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")


class TestLinking:
    def test_needs_only_the_c_and_maths_libraries(self):
        needed = ELF.needed()
        assert "libc.so.6" in needed
        assert set(needed) <= {"libc.so.6", "libm.so.6"}

    def test_c_library_symbols_are_no_newer_than_the_wheel_tag_allows(self):
        symbols = ELF.dynamic_symbols()
        assert any(s.version.startswith("GLIBC_") for s in symbols), "no versioned symbol read"
        assert newer_than_the_floor(symbols) == []

    def test_exports_exactly_the_entry_point(self):
        defined = [s for s in ELF.dynamic_symbols() if s.ndx != "UND" and s.name]
        assert [(s.name, s.type, s.bind) for s in defined] == [("PyInit_vorlix", "FUNC", "GLOBAL")]

    def test_interpreter_functions_come_from_the_host_unversioned(self):
        undefined = [s for s in ELF.dynamic_symbols() if s.ndx == "UND" and s.name]
        python = [s for s in undefined if s.name.startswith(("Py", "_Py"))]
        assert python, "no interpreter function is imported"
        assert all(s.version == "" for s in python)

    def test_everything_else_is_versioned_c_library_or_toolchain(self):
        undefined = [s for s in ELF.dynamic_symbols() if s.ndx == "UND" and s.name]
        others = [s for s in undefined if not s.name.startswith(("Py", "_Py"))]
        for symbol in others:
            if symbol.name in TOOLCHAIN_WEAK:
                assert symbol.bind == "WEAK", symbol
            else:
                assert symbol.version.startswith("GLIBC_"), symbol
        # Nothing of the C++ runtime: no mangled names, no unwinder.
        assert not [s for s in others if s.name.startswith(("_Z", "_Unwind", "__gxx", "__cxa_"))
                    and s.name not in TOOLCHAIN_WEAK]


class TestHardening(HardeningChecks):
    arch = "x86_64"

    @pytest.fixture
    def elf(self):
        return ELF


class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(Slot)),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p),
        ("m_free", ctypes.c_void_p),
    ]


def module_slot_numbers():
    """The slot numbers of the running interpreter's headers: CPython 3.15
    renumbered them, so each build is checked against its own."""
    include = Path(sysconfig.get_paths()["include"])
    numbers = {}
    for header in [include / "moduleobject.h", include / "slots_generated.h"]:
        if header.is_file():
            for name, value in re.findall(
                    r"#\s*define (Py_mod_\w+) +(?:_Py_SLOT_COMPAT_VALUE\(\d+, *)?(\d+)",
                    header.read_text()):
                numbers.setdefault(name, int(value))
    return numbers


SLOT_NUMBERS = module_slot_numbers()
PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS = (
    SLOT_NUMBERS.get(name) for name in ("Py_mod_create", "Py_mod_exec", "Py_mod_multiple_interpreters"))


@pytest.fixture(scope="module")
def definition():
    import vorlix  # noqa: F401  the entry runs on an already loaded object

    entry = ctypes.PyDLL(SHARED_OBJECT).PyInit_vorlix
    entry.restype = ctypes.c_void_p
    entry.argtypes = []
    address = entry()
    assert address
    # Multi-phase: the entry hands back the same definition every time.
    assert entry() == address
    return ModuleDef.from_address(address)


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="object header differs on free-threaded builds")
@pytest.mark.skipif(None in (PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS),
                    reason="the interpreter's headers are not installed")
class TestModuleDefinition:
    def test_fields(self, definition):
        assert definition.m_name == b"vorlix"
        assert definition.m_doc is None
        assert definition.m_size == 0
        assert definition.m_methods is None
        assert (definition.m_traverse, definition.m_clear, definition.m_free) == (None,) * 3

    def test_slots(self, definition):
        slots = []
        i = 0
        while definition.m_slots[i].slot != 0:
            slots.append((definition.m_slots[i].slot, definition.m_slots[i].value))
            i += 1
        kinds = [kind for kind, _ in slots]
        # The body runs from the one execution slot; the interpreter makes the
        # module. Every interpreter may import it, each with its own GIL
        # (Py_MOD_PER_INTERPRETER_GIL_SUPPORTED, value 2).
        assert kinds.count(PY_MOD_EXEC) == 1
        assert PY_MOD_CREATE not in kinds
        assert dict(slots)[PY_MOD_EXEC]
        assert sorted(kinds) == [PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS]
        assert dict(slots)[PY_MOD_MULTIPLE_INTERPRETERS] == 2


# Another CPython's object layouts differ: a module forced into it must
# refuse before it touches anything, naming both versions.
OTHER_PYTHONS = [f"3.{minor}" for minor in (14, 15) if minor != sys.version_info.minor]


@pytest.mark.parametrize("other", OTHER_PYTHONS)
def test_refuses_an_interpreter_it_was_not_built_for(other):
    # The same kind of interpreter: a debug build's module needs a debug one.
    python = shutil.which(f"python{other}" + ("-dbg" if hasattr(sys, "gettotalrefcount") else ""))
    if python is None:
        pytest.skip(f"no python{other} here")
    forced = ("import importlib.machinery as m, importlib.util as u, sys\n"
              "loader = m.ExtensionFileLoader('vorlix', sys.argv[1])\n"
              "try:\n"
              "    u.module_from_spec(u.spec_from_file_location('vorlix', sys.argv[1], loader=loader))\n"
              "except ImportError as error:\n"
              "    print(error)\n")
    result = subprocess.run([python, "-I", "-c", forced, SHARED_OBJECT],
                            capture_output=True, text=True, timeout=60)
    built = f"{sys.version_info.major}.{sys.version_info.minor}"
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        f"vorlix was built for CPython {built} and cannot run in CPython {other}: "
        f"install the vorlix wheel for CPython {other} (cp{other.replace('.', '')})")
