"""The reliability checks: leaks, load, faults, odd input, import edge cases.

They are slow or need special builds (the debug interpreter, sanitizers),
so a plain test run skips them; tools/check/run.sh (`./dev check`) runs
them with VORLIX_CHECK=1, each under the build it is meant for.
"""

import os
import sys
from pathlib import Path

import pytest

_here = Path(__file__).resolve().parent
if str(_here) not in sys.path:
    sys.path.insert(0, str(_here))


def pytest_collection_modifyitems(config, items):
    if os.environ.get("VORLIX_CHECK") == "1":
        return
    skip = pytest.mark.skip(reason="a reliability check: run by ./dev check")
    for item in items:
        if _here in Path(str(item.fspath)).resolve().parents:
            item.add_marker(skip)
