"""Every operation that runs the control tool, with the sub-command it runs
and how: "captured" through the runner (a failed run raises), or "direct"
through subprocess.call (a launcher state query: only the exit status
counts).  On the simulator's default device each of them succeeds, and the
direct ones answer True."""


def tool_operations(vx):
    App, Launcher, apps, launchers = vx.App, vx.Launcher, vx.apps, vx.launchers
    return {
        "runner": ("list-apps", "captured", lambda: vx.vorlix("list-apps")),
        "apps.keys": ("list-apps", "captured", apps.keys),
        "in apps": ("list-apps", "captured", lambda: "mail" in apps),
        "apps[name]": ("list-apps", "captured", lambda: apps["mail"]),
        "apps.running": ("list-running-apps", "captured", lambda: apps.running),
        "apps.paused": ("list-paused-apps", "captured", lambda: apps.paused),
        "App.is_running": ("list-running-apps", "captured", lambda: App("mail").is_running),
        "App.is_paused": ("list-paused-apps", "captured", lambda: App("maps").is_paused),
        "App.start": ("start-app", "captured", lambda: App("camera").start()),
        "App.stop": ("stop-app", "captured", lambda: App("mail").stop()),
        "App.pause": ("pause-app", "captured", lambda: App("mail").pause()),
        "App.resume": ("resume-app", "captured", lambda: App("maps").resume()),
        "launchers.keys": ("list-launchers", "captured", launchers.keys),
        "in launchers": ("list-launchers", "captured", lambda: "home" in launchers),
        "launchers[name]": ("list-launchers", "captured", lambda: launchers["kiosk"]),
        "launchers.current": ("status", "captured", lambda: launchers.current),
        "launchers.switch": ("switch-launcher", "captured", lambda: launchers.switch("kiosk")),
        "Launcher.start": ("start-launcher", "captured", lambda: Launcher("kiosk").start()),
        "Launcher.stop": ("stop-launcher", "captured", lambda: Launcher("home").stop()),
        "Launcher.enable": ("switch-launcher", "captured", lambda: Launcher("kiosk").enable(True)),
        "Launcher.is_current": ("is-current-launcher", "direct", lambda: Launcher("home").is_current),
        "Launcher.is_enabled": ("is-enabled-launcher", "direct", lambda: Launcher("home").is_enabled),
        "Launcher.is_active": ("is-active-launcher", "direct", lambda: Launcher("home").is_active),
    }
