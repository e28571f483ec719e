import sys
from pathlib import Path

import pytest

# Make tests/simulator.py importable whatever pytest's import mode.
_here = str(Path(__file__).resolve().parent)
if _here not in sys.path:
    sys.path.insert(0, _here)

from simulator import Simulator  # noqa: E402


@pytest.fixture
def sim(tmp_path, monkeypatch):
    """A fresh simulated device for this test, used by anything that runs
    /opt/bin/vorlix (VORLIX_SIM_STATE points at it)."""
    state = tmp_path / "device"
    monkeypatch.setenv("VORLIX_SIM_STATE", str(state))
    return Simulator(state)
