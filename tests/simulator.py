"""Control of the simulated device that stands in for /opt/bin/vorlix.

Tests run inside the dev environment, where /opt/bin/vorlix is
tools/simulator/vorlix.  The simulator keeps the device in plain files in
the directory named by VORLIX_SIM_STATE; this module reads and writes those
files so a test can arrange any device state or tool misbehaviour and see
exactly how the tool was called.
"""

from __future__ import annotations

import os
import shutil
import signal as _signal
import subprocess
from pathlib import Path

TOOL = "/opt/bin/vorlix"

# The files the simulator keeps, one name per line.
STATE_FILES = ("apps", "running", "paused", "launchers", "current", "enabled", "active")


def _encode(text: str | bytes) -> bytes:
    # surrogateescape lets a test write (and get back) bytes that are not UTF-8.
    return text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")


def _decode(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def parse_log(data: bytes) -> list[list[str]]:
    """Split the simulator's log into one argument list per invocation.

    Each record is the argument count then the arguments, every field ended
    by a NUL byte.
    """
    fields = data.split(b"\0")
    if fields[-1] != b"":
        raise ValueError("simulator log does not end with a complete field")
    fields.pop()
    calls = []
    i = 0
    while i < len(fields):
        count = int(fields[i])
        args = fields[i + 1 : i + 1 + count]
        if len(args) != count:
            raise ValueError("simulator log ends inside a record")
        calls.append([_decode(a) for a in args])
        i += 1 + count
    return calls


class Simulator:
    """One simulated device, kept in the directory `state`."""

    def __init__(self, state: Path) -> None:
        self.state = Path(state)
        self.state.mkdir(parents=True, exist_ok=True)

    def set(self, name: str, text: str | bytes) -> None:
        """Write state file `name` verbatim (no newline is added)."""
        (self.state / name).write_bytes(_encode(text))

    def read(self, name: str) -> str:
        """The state file `name` verbatim.

        The default device is written on the simulator's first invocation;
        before that only files a test has set exist.
        """
        return _decode((self.state / name).read_bytes())

    def lines(self, name: str) -> list[str]:
        """The state file `name` as a list of names."""
        return self.read(name).splitlines()

    def calls(self) -> list[list[str]]:
        """Every invocation so far, oldest first, as its arguments (no argv0)."""
        try:
            data = (self.state / "log").read_bytes()
        except FileNotFoundError:
            return []
        return parse_log(data)

    def clear_log(self) -> None:
        (self.state / "log").unlink(missing_ok=True)

    def fail(
        self,
        subcommand: str,
        status: int = 1,
        stdout: str | bytes = "",
        stderr: str | bytes = "",
        signal: str | int | _signal.Signals | None = None,
        sleep: float | None = None,
    ) -> None:
        """Make `subcommand` misbehave instead of running.

        It prints `stdout` and `stderr`, sleeps `sleep` seconds if given,
        kills itself with `signal` if given (e.g. "KILL" or signal.SIGTERM),
        and otherwise exits with `status`.  It leaves the device unchanged.
        """
        d = self.state / "fail" / subcommand
        if d.exists():
            shutil.rmtree(d)
        d.mkdir(parents=True)
        (d / "status").write_text(f"{status}\n")
        (d / "stdout").write_bytes(_encode(stdout))
        (d / "stderr").write_bytes(_encode(stderr))
        if signal is not None:
            if not isinstance(signal, str):
                signal = _signal.Signals(signal).name
            (d / "signal").write_text(signal.removeprefix("SIG") + "\n")
        if sleep is not None:
            (d / "sleep").write_text(f"{sleep}\n")

    def recover(self, subcommand: str | None = None) -> None:
        """Undo fail() for `subcommand`, or for every sub-command."""
        d = self.state / "fail"
        if subcommand is not None:
            d = d / subcommand
        shutil.rmtree(d, ignore_errors=True)

    def reset(self) -> None:
        """Back to the default device, with an empty log and no failures."""
        shutil.rmtree(self.state)
        self.state.mkdir()

    def run(self, *args: str, **kwargs) -> subprocess.CompletedProcess[str]:
        """Run the tool directly; returns the completed process (never raises)."""
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        kwargs.setdefault("env", {**os.environ, "VORLIX_SIM_STATE": str(self.state)})
        return subprocess.run([TOOL, *args], check=False, **kwargs)
