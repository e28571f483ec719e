"""Reading a shared object's dynamic section and symbols with binutils'
readelf, which reads an ELF file of any machine."""

import collections
import subprocess

# Weak references that the compiler's start-up files add to every shared object.
TOOLCHAIN_WEAK = {"__gmon_start__", "_ITM_registerTMCloneTable", "_ITM_deregisterTMCloneTable",
                  "__cxa_finalize"}

Symbol = collections.namedtuple("Symbol", "name version type bind ndx")


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
