"""In-process stand-ins for the control tool, for checks that run every
operation many times or from many threads: no process is started, and every
answer is fixed, so a caller can tell exactly what each operation must give.

FakeDevice.run replaces subprocess.run as seen from vorlix._util, and
FakeDevice.call replaces subprocess.call as seen from vorlix._launcher.
"""

from __future__ import annotations

import contextlib
import threading
import types

TOOL = "/opt/bin/vorlix"

APPS = ["mail", "notes", "camera", "car mode", ""]
RUNNING = ["mail", "car mode", "mail"]
PAUSED = ["notes"]
LAUNCHERS = ["home", "kiosk", "car mode"]
CURRENT = "kiosk"
# Launchers for which each state query answers yes.
YES = {
    "is-current-launcher": {"kiosk"},
    "is-enabled-launcher": {"kiosk", "home"},
    "is-active-launcher": {"home"},
}
# A name that every action refuses, and what the tool says then.
REFUSED = "refused"
REFUSAL_OUT = "out: no\n"
REFUSAL_ERR = "err: no such thing\n"

LISTINGS = {
    "list-apps": "".join(f"{name}\n" for name in APPS),
    "list-running-apps": "".join(f"{name}\n" for name in RUNNING),
    "list-paused-apps": "".join(f"{name}\n" for name in PAUSED),
    "list-launchers": "".join(f"{name}\n" for name in LAUNCHERS),
    "status": f"Current view: {CURRENT} [+]\nApps: 5 installed\n",
}
ACTIONS = {
    "start-app", "stop-app", "pause-app", "resume-app",
    "start-launcher", "stop-launcher", "switch-launcher",
}


class Completed:
    """What subprocess.run gives back, as far as the runner reads it."""

    def __init__(self, args, returncode, stdout, stderr):
        self.args = args
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr


class FakeDevice:
    """Answers like the tool would for the fixed device above.

    Calls are counted (under a lock, since the load checks share one
    device between threads) but not kept, so that repeating an operation
    many times holds no growing memory of its own. A device that one thread
    uses counts without the lock: an allocation made to fail inside a
    `with` statement can leave its lock held, and the next call would wait
    for it for ever.
    """

    def __init__(self, threads=True):
        self._lock = threading.Lock() if threads else contextlib.nullcontext()
        self.runs = 0
        self.calls = 0
        self.listings = dict(LISTINGS)

    def run(self, argv, *, text, check, capture_output):
        if argv[0] != TOOL or text is not True or check is not False or capture_output is not True:
            raise AssertionError(f"unexpected run: {argv!r}")
        with self._lock:
            self.runs += 1
        sub = argv[1] if len(argv) > 1 else None
        if sub in self.listings and len(argv) == 2:
            return Completed(argv, 0, self.listings[sub], "")
        if sub in ACTIONS and len(argv) in (3, 4):
            if argv[-1] == REFUSED:
                return Completed(argv, 1, REFUSAL_OUT, REFUSAL_ERR)
            return Completed(argv, 0, "done\n", "noise on stderr\n")
        return Completed(argv, 2, "", "usage\n")

    def call(self, argv):
        if len(argv) != 3 or argv[0] != TOOL:
            raise AssertionError(f"unexpected call: {argv!r}")
        with self._lock:
            self.calls += 1
        return 0 if argv[2] in YES.get(argv[1], ()) else 1

    def install(self, monkeypatch, vorlix):
        """Put the device in place of subprocess for both submodules."""
        monkeypatch.setattr(vorlix._util, "subprocess", types.SimpleNamespace(run=self.run))
        monkeypatch.setattr(vorlix._launcher, "subprocess", types.SimpleNamespace(call=self.call))


def distinct_keys(names):
    """The keys of a dict built from a listing: first appearance order."""
    return list(dict.fromkeys(names))
