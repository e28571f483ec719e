"""What tools that act on sys.monitoring events see of the package's
functions: each program of hosts/monitoring_programs.py runs against the
built package and against bench/pyvorlix, the same package in plain Python,
and must hear the same events and end its calls the same way; in this
interpreter and in an isolated subinterpreter."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vorlix

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "hosts"))
sys.path.insert(0, str(HERE.parent / "bench"))
import monitoring_programs  # noqa: E402
import pyvorlix  # noqa: E402

del sys.path[:2]


def plain(value):
    return json.loads(json.dumps(value).replace("pyvorlix", "vorlix"))


@pytest.mark.parametrize("name", list(monitoring_programs.PROGRAMS))
def test_tools_hear_what_they_hear_of_plain_python(name):
    assert plain(monitoring_programs.observe(vorlix, name)) == plain(
        monitoring_programs.observe(pyvorlix, name))


def test_in_a_subinterpreter_too(tmp_path):
    (tmp_path / "vorlix").symlink_to(HERE.parent / "bench" / "pyvorlix")
    code = f"""
import _interpreters, json, sys
out = {str(tmp_path / "out.json")!r}
sub = _interpreters.create(_interpreters.new_config("isolated"))
failure = _interpreters.exec(sub, f'''
import sys, json
sys.path.insert(0, {str(HERE / "hosts")!r})
import monitoring_programs, vorlix
open({{out!r}}, "w").write(json.dumps(monitoring_programs.observe_all(vorlix)))
''')
assert failure is None, failure
_interpreters.destroy(sub)
print(open(out).read())
"""
    built = os.path.dirname(os.path.dirname(vorlix.__file__))
    answers = [json.loads(subprocess.run([sys.executable, "-P", "-c", code], check=True,
                                         capture_output=True, text=True,
                                         env={**os.environ, "PYTHONPATH": path}).stdout)
               for path in (built, str(tmp_path))]
    assert answers[0] == answers[1]
    assert answers[0] == plain(monitoring_programs.observe_all(pyvorlix))
