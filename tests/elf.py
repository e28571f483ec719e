"""Reading a shared object's dynamic section and symbols with binutils'
readelf, which reads an ELF file of any machine."""

import collections
import subprocess

# Weak references that the compiler's start-up files add to every shared object.
TOOLCHAIN_WEAK = {"__gmon_start__", "_ITM_registerTMCloneTable", "_ITM_deregisterTMCloneTable",
                  "__cxa_finalize"}

Symbol = collections.namedtuple("Symbol", "name version type bind ndx")

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
            symbols.append(Symbol(name, version.lstrip("@"), fields[3], fields[4], fields[6]))
        return symbols
