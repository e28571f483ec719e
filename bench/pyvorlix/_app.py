from ._util import vorlix


class App:
    def __init__(self, name: str) -> None:
        self.name = name

    @property
    def is_running(self) -> bool:
        return self.name in api.running.keys()

    @property
    def is_paused(self) -> bool:
        return self.name in api.paused.keys()

    def start(self) -> None:
        _ = vorlix("start-app", self.name)

    def stop(self) -> None:
        _ = vorlix("stop-app", self.name)

    def pause(self) -> None:
        _ = vorlix("pause-app", self.name)

    def resume(self) -> None:
        _ = vorlix("resume-app", self.name)


class API:
    def keys(self) -> list[str]:
        return vorlix("list-apps").splitlines()

    def __contains__(self, key: str) -> bool:
        return key in self.keys()

    def __getitem__(self, key: str) -> App:
        if key not in self:
            raise KeyError()
        return App(key)

    @property
    def running(self) -> dict[str, App]:
        return {name: App(name) for name in vorlix("list-running-apps").splitlines()}

    @property
    def paused(self) -> dict[str, App]:
        return {name: App(name) for name in vorlix("list-paused-apps").splitlines()}


api = API()
