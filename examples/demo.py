"""A short tour of a device through vorlix's public names.

Run it with ./dev demo: there /opt/bin/vorlix is a simulated device, fresh
on every run.  Every line printed below comes from a new run of the tool;
vorlix remembers nothing between calls.
"""

import vorlix
from vorlix import VorlixException, apps, launchers


def app_state(app: vorlix.App) -> str:
    if app.is_running:
        return "running"
    if app.is_paused:
        return "paused"
    return "stopped"


def launcher_flags(launcher: vorlix.Launcher) -> str:
    flags = [
        ("current", launcher.is_current),
        ("enabled", launcher.is_enabled),
        ("active", launcher.is_active),
    ]
    return ", ".join(word for word, yes in flags if yes) or "-"


def tour_apps() -> None:
    print("Apps")
    # The registry answers keys(), `in` and [name], but is not iterable:
    # walk its keys() instead.
    print("  all:     ", ", ".join(apps.keys()))
    print("  running: ", ", ".join(apps.running) or "-")
    print("  paused:  ", ", ".join(apps.paused) or "-")
    print("  'solitaire' installed?", "solitaire" in apps)

    camera = apps["camera"]
    print(f"\n  {camera.name}: {app_state(camera)}")
    for action in (camera.start, camera.pause, camera.resume, camera.stop):
        action()
        print(f"  {camera.name}.{action.__name__}() -> {app_state(camera)}")

    # The tool refuses to stop an app that is not running; its standard
    # output, a newline and its standard error become the message.
    try:
        camera.stop()
    except VorlixException as refusal:
        print(f"  {camera.name}.stop() again -> VorlixException: {str(refusal).strip()}")


def tour_launchers() -> None:
    print("\nLaunchers")
    for name in launchers.keys():
        print(f"  {name:<10} {launcher_flags(launchers[name])}")
    print("  current:", launchers.current.name)

    # Switching without start makes the launcher current and enabled...
    launchers.switch("kiosk")
    kiosk = launchers["kiosk"]
    print(f"\n  switch('kiosk')              -> current: {launchers.current.name};"
          f" kiosk is {launcher_flags(kiosk)}")
    # ...and with start it is started as well.  A handle works as well as a name.
    launchers.switch(launchers["car mode"], start=True)
    car = launchers.current
    print(f"  switch(car mode, start=True) -> current: {car.name};"
          f" car mode is {launcher_flags(car)}")


def tour_runner() -> None:
    print("\nThe runner, vorlix.vorlix, runs any sub-command of the tool")
    for line in vorlix.vorlix("status").splitlines():
        print("  " + line)
    try:
        vorlix.vorlix("start-launcher", "arcade")
    except VorlixException as failure:
        print("  start-launcher arcade -> VorlixException:", str(failure).strip())


def main() -> None:
    tour_apps()
    tour_launchers()
    tour_runner()


if __name__ == "__main__":
    main()
