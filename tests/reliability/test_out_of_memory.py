"""Every operation with one memory allocation made to fail, for each of the
first few hundred allocations it makes: whatever fails, the result is a
Python exception (MemoryError, or whatever the failing step raises), never
a crash, and never the interpreter's SystemError for a function that
returned NULL without an exception or a value with one set.  Those are the
module's error paths, which nothing else reaches.

Allocation failures come from the interpreter's test hooks (_testcapi);
each operation runs in an interpreter of its own, so a crash fails only
its own case.  Run under the debug interpreter (./dev check debug) and
with the sanitizers (./dev check sanitize).

Leaves out what is not the module's: inspect.signature and class creation
crash the interpreter itself when some of their allocations fail."""

import pytest

from isolation import run_child
from operations import make_operations

import vorlix

SWEEP = """
    import sys, types
    import _testcapi
    import vorlix
    from fakes import FakeDevice
    from operations import make_operations

    device = FakeDevice(threads=False)
    vorlix._util.subprocess = types.SimpleNamespace(run=device.run)
    vorlix._launcher.subprocess = types.SimpleNamespace(call=device.call)
    operation = make_operations(vorlix)[{name!r}]
    operation()  # caches filled: the failures hit the operation itself
    failures = set()
    for n in range(400):
        _testcapi.set_nomemory(n, n + 1)
        try:
            operation()
        except SystemError as error:
            _testcapi.remove_mem_hooks()
            raise AssertionError(f"allocation {{n}}: {{error!r}}")
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            failures.add(type(error).__name__)
        finally:
            _testcapi.remove_mem_hooks()
    operation()  # and everything works again
    print(sorted(failures))
"""

NAMES = sorted(set(make_operations(vorlix)) - {"introspection"})


@pytest.mark.parametrize("name", NAMES)
def test_any_failed_allocation_is_an_exception(name):
    pytest.importorskip("_testcapi")
    proc = run_child(SWEEP.format(name=name))
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "MemoryError" in proc.stdout, proc.stdout
