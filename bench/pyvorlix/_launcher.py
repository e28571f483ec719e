import subprocess
from collections.abc import Callable

from ._util import vorlix


class Launcher:
    def __init__(self, name: str) -> None:
        self.name = name

    def logs(self, _onlogline: Callable[[str], None] | None = None) -> list[str] | None:
        # Part of the interface, not of the device yet: the control tool has
        # no sub-command that reads a launcher's log, so there is nothing to
        # run, and the call starts no process.
        #
        # The signature says what the method is for: the log's lines as a
        # list, or, given `_onlogline`, each line handed to it as it comes
        # and None returned. The leading underscore marks a parameter that
        # nothing reads yet; callers that pass it now need no change once
        # the tool can answer.
        #
        raise NotImplementedError()

    def start(self) -> None:
        _ = vorlix("start-launcher", self.name)

    def stop(self) -> None:
        _ = vorlix("stop-launcher", self.name)

    def enable(self, start: bool = False) -> None:
        if start:
            _ = vorlix("switch-launcher", "--start", self.name)
        else:
            _ = vorlix("switch-launcher", self.name)

    @property
    def is_current(self) -> bool:
        return subprocess.call(["/opt/bin/vorlix", "is-current-launcher", self.name]) == 0

    @property
    def is_enabled(self) -> bool:
        return subprocess.call(["/opt/bin/vorlix", "is-enabled-launcher", self.name]) == 0

    @property
    def is_active(self) -> bool:
        return subprocess.call(["/opt/bin/vorlix", "is-active-launcher", self.name]) == 0


class API:
    def keys(self) -> list[str]:
        return vorlix("list-launchers").splitlines()

    def __contains__(self, key: str) -> bool:
        return key in self.keys()

    def __getitem__(self, key: str) -> Launcher:
        if key not in self:
            raise KeyError()
        return Launcher(key)

    @property
    def current(self) -> Launcher:
        return Launcher(vorlix("status").splitlines()[0][14:-4])

    def switch(self, launcher: Launcher | str, start: bool = False) -> None:
        if not isinstance(launcher, Launcher):
            launcher = Launcher(launcher)
        _ = launcher.enable(start)


api = API()
