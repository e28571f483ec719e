"""Fully typed use of every public name of vorlix.

The package ships type information (the vorlix-stubs package), so this file
passes `mypy --strict` as it stands.  It also runs: ./dev python
examples/typed_usage.py tours the simulated device.
"""

import sys

import vorlix
from vorlix import App, Launcher, VorlixException, apps, launchers


def app_table() -> list[tuple[str, str]]:
    # Registries are not iterable: names come from keys().
    table: list[tuple[str, str]] = []
    for name in apps.keys():
        app: App = apps[name]
        state = "running" if app.is_running else "paused" if app.is_paused else "stopped"
        table.append((app.name, state))
    return table


def restart(app: App) -> None:
    if app.is_paused:
        app.resume()
    app.stop()
    app.start()


def pause_all_but(keep: str) -> list[str]:
    running: dict[str, App] = apps.running
    paused: list[str] = []
    for name, app in running.items():
        if name != keep:
            app.pause()
            paused.append(name)
    return paused


def launcher_flags(launcher: Launcher) -> str:
    flags = [
        flag
        for flag, on in (
            ("current", launcher.is_current),
            ("enabled", launcher.is_enabled),
            ("active", launcher.is_active),
        )
        if on
    ]
    return ", ".join(flags) or "-"


def use_launcher(name: str) -> Launcher:
    if name in launchers:
        launchers.switch(name, start=True)
    else:
        # The registry takes a handle as well as a name.
        launchers.switch(Launcher(name))
    return launchers.current


def launcher_logs(launcher: Launcher) -> list[str]:
    try:
        return launcher.logs(print) or []
    except NotImplementedError:
        return []


def main() -> int:
    try:
        for name, state in app_table():
            print(f"{name:<10} {state}")
        every_app: dict[str, App] = dict(apps)
        if "mail" in every_app:
            restart(every_app["mail"])
        print("paused:", ", ".join(pause_all_but("mail")) or "-")
        print("still paused:", ", ".join(apps.paused) or "-")

        for name in launchers.keys():
            launcher = launchers[name]
            print(f"{name:<10} {launcher_flags(launcher)}")
        home = use_launcher(launchers.current.name)
        home.enable()
        print("current launcher:", home.name, launcher_logs(home))

        status: str = vorlix.vorlix("status")
        print(status.splitlines()[0])
    except VorlixException as failure:
        print(f"the control tool failed:\n{failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
