"""CI holds every skip to the list of those it expects: .ci/run gives each
step's test runs a VORLIX_SKIP_LOG, which this suite's conftest writes each
skip reason to, and .ci/check-skips fails the step on a reason that
.ci/expected-skips does not give for it.  Here a real pytest run of
deliberately skipping tests, through the same conftest, makes the log, and
the check runs on it as .ci/run runs it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
TESTS = Path(__file__).resolve().parent
CHECK = REPO / ".ci" / "check-skips"
EXPECTED = REPO / ".ci" / "expected-skips"

SKIPPING = """
import pytest

@pytest.mark.parametrize("reason", {reasons!r})
def test_skips(reason):
    pytest.skip(reason)
"""

ON_314 = "lazy imports came with 3.15"
EVERYWHERE = "a reliability check: run by ./dev check"
UNEXPECTED = "the fixture could not reach the device"


def skip_log(tmp_path: Path, reasons: list[str]) -> Path:
    """The log a test run writes when its tests skip for `reasons`."""
    (tmp_path / "test_skipping.py").write_text(SKIPPING.format(reasons=reasons))
    log = tmp_path / "skips.log"
    # Its own log, not this run's: CI must not see these skips.
    env = {**os.environ, "VORLIX_SKIP_LOG": str(log),
           "PYTHONPATH": os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")])}
    run = subprocess.run([sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "-p", "conftest", str(tmp_path)],
                         cwd=tmp_path, env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    return log


@pytest.mark.parametrize("step, reasons, unexpected", [
    ("./dev test --python 3.14", [ON_314, EVERYWHERE, EVERYWHERE], []),
    ("./dev test --python 3.14", [ON_314, UNEXPECTED, UNEXPECTED], [f"2 {UNEXPECTED}"]),
    # Expected, but on another CPython's runs.
    ("./dev test --python 3.15", [ON_314, EVERYWHERE], [f"1 {ON_314}"]),
    # A reason that only starts like an expected one is another reason.
    ("./dev test --python 3.14", ["lazy imports came", EVERYWHERE], ["1 lazy imports came"]),
])
def test_a_step_fails_on_a_skip_it_does_not_expect(tmp_path, step, reasons, unexpected):
    log = skip_log(tmp_path, reasons)
    check = subprocess.run([str(CHECK), str(EXPECTED), step, str(log)], capture_output=True, text=True)
    reported = [line.strip() for line in check.stderr.splitlines()[1:]]
    assert (check.returncode, reported) == ((1, unexpected) if unexpected else (0, []))


@pytest.mark.parametrize("entry, error", [
    (f"reason: {UNEXPECTED}\nruns: *\n", "does not say why"),
    (f"reason: {UNEXPECTED}\nwhy: no run holds it\n", "names no runs"),
    ("runs: *\nwhy: no run holds it\n", "an entry without a reason"),
    (f"reason: {UNEXPECTED}\nruns: *\nwhy: no run\nholds it\n", "not part of an entry"),
])
def test_the_list_says_of_every_entry_where_and_why(tmp_path, entry, error):
    listed = tmp_path / "expected-skips"
    listed.write_text(f"# a comment\n\nreason: {EVERYWHERE}\nruns: *\nwhy: run by ./dev check\n\n{entry}")
    log = tmp_path / "skips.log"
    log.write_text(f"1\t{EVERYWHERE}\n")
    check = subprocess.run([str(CHECK), str(listed), "./dev test", str(log)], capture_output=True, text=True)
    assert check.returncode == 2 and error in check.stderr, check.stderr
