"""A short tour of a device through vorlix.

Run it with ./dev demo: there /opt/bin/vorlix is the simulated device, fresh
on every run.
"""

import os
from pathlib import Path

from vorlix._util import VorlixException, vorlix


def lines(text):
    return [line for line in text.splitlines() if line]


def show_apps():
    running = set(lines(vorlix("list-running-apps")))
    paused = set(lines(vorlix("list-paused-apps")))
    for app in lines(vorlix("list-apps")):
        state = "running" if app in running else "paused" if app in paused else ""
        print(f"  {app:<10} {state}".rstrip())


def attempt(*args):
    """Run a tool command and show how it went, failures included."""
    print(f"$ vorlix {' '.join(args)}")
    try:
        out = vorlix(*args)
    except VorlixException as e:
        # The message holds the tool's stdout and stderr.
        print("  failed:")
        for line in lines(str(e)):
            print(f"    {line}")
    else:
        print("  ok" if not out.strip() else "\n".join(f"  {line}" for line in out.splitlines()))


def break_the_device(subcommand):
    """Ask the simulated device to fail `subcommand` as a real one might."""
    fail = Path(os.environ.get("VORLIX_SIM_STATE", "/tmp/vorlix-sim")) / "fail" / subcommand
    fail.mkdir(parents=True, exist_ok=True)
    (fail / "stdout").write_text("Querying launchers...\n")
    (fail / "stderr").write_text("vorlix: launcher service is not responding\n")
    (fail / "status").write_text("3\n")


def main():
    print("Apps on the device:")
    show_apps()

    print("\nDevice status:")
    for line in vorlix("status").splitlines():
        print(f"  {line}")

    print("\nLaunchers:")
    for launcher in lines(vorlix("list-launchers")):
        print(f"  {launcher}")

    print()
    attempt("start-app", "camera")
    attempt("pause-app", "music")
    attempt("start-app", "mail")  # already running: the device says no
    print("\nApps now:")
    show_apps()

    print("\nNow the launcher service stops answering:")
    break_the_device("list-launchers")
    attempt("list-launchers")


if __name__ == "__main__":
    main()
