import collections
import os
import sys
from pathlib import Path

import pytest

# Make tests/simulator.py importable whatever pytest's import mode.
_here = str(Path(__file__).resolve().parent)
if _here not in sys.path:
    sys.path.insert(0, _here)

from simulator import Simulator  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def default_device(tmp_path_factory):
    """The device of the tests that ask for no fresh one.  The simulator's
    own default, /tmp/vorlix-sim, is private to each ./dev run but shared by
    every user's runs elsewhere (a packager's, say), where another user's
    device cannot even be written."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("VORLIX_SIM_STATE", str(tmp_path_factory.mktemp("default") / "device"))
        yield


@pytest.fixture
def sim(tmp_path, monkeypatch):
    """A fresh simulated device for this test, used by anything that runs
    /opt/bin/vorlix (VORLIX_SIM_STATE points at it)."""
    state = tmp_path / "device"
    monkeypatch.setenv("VORLIX_SIM_STATE", str(state))
    return Simulator(state)


# Set by ./dev when the tests run under user-mode emulation (--arch aarch64:
# an arm64 python3.X under qemu-aarch64).  A few outcomes there belong to
# the emulator, not to the host: glibc's posix_spawn cannot report a failed
# exec when qemu turns its vfork into a fork, so a missing or unusable tool
# ends as a child exiting 127 instead of an OSError in the caller, and qemu
# adds its own line to the stderr of a program killed by SIGSEGV.  Tests of
# such outcomes carry native_only and run on the machine's own architecture.
EMULATED = os.environ.get("VORLIX_EMULATED", "")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "native_only(reason): needs the host's own process start or signal "
        "reporting, or its build tools; skipped under user-mode emulation",
    )


def pytest_collection_modifyitems(config, items):
    if not EMULATED:
        return
    for item in items:
        marker = item.get_closest_marker("native_only")
        if marker is not None:
            why = marker.args[0] if marker.args else "not under emulation"
            item.add_marker(pytest.mark.skip(reason=f"under {EMULATED}: {why}"))


def _skip_reasons(terminalreporter) -> collections.Counter:
    reasons = collections.Counter()
    for report in terminalreporter.stats.get("skipped", []):
        longrepr = report.longrepr
        reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
        reasons[" ".join(reason.removeprefix("Skipped: ").split())] += 1
    return reasons


def pytest_terminal_summary(terminalreporter):
    """Why the skipped tests skipped, one line per reason with its count:
    pytest's -rs gives a line for each place instead, which with a suite's
    worth of parametrized skips says less.  Where VORLIX_SKIP_LOG names a
    file, the same lines are added to it, for CI to hold every skip to the
    list of those it expects (.ci/check-skips)."""
    reasons = _skip_reasons(terminalreporter)
    if log := os.environ.get("VORLIX_SKIP_LOG"):
        with open(log, "a", encoding="utf-8") as file:
            file.writelines(f"{count}\t{reason}\n" for reason, count in sorted(reasons.items()))
    if "s" in getattr(terminalreporter, "reportchars", "") or not reasons:
        return
    terminalreporter.write_sep("-", "skipped, by reason")
    for reason, count in sorted(reasons.items(), key=lambda item: (-item[1], item[0])):
        terminalreporter.write_line(f"{count:4} {reason}")
