from ._app import App
from ._app import api as apps
from ._launcher import Launcher
from ._launcher import api as launchers
from ._util import VorlixException
from ._util import vorlix

__all__ = ["App", "apps", "Launcher", "launchers", "VorlixException", "vorlix"]
