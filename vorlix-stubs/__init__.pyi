"""List, query and control a device's apps and launchers.

Every query and every action runs the device's control tool,
``/opt/bin/vorlix``, once; nothing is cached. The public names: ``apps`` and
``App`` (the app registry and handle), ``launchers`` and ``Launcher`` (the
launcher registry and handle), ``VorlixException`` (the tool failed) and
``vorlix`` (the runner: ``vorlix.vorlix(*args)`` runs the tool with ``args``).
"""

# The package's public names.  The registries keep their module name `api`
# and are re-exported as `apps` and `launchers`; `vorlix` here is the command
# runner, not the package.
from ._app import App as App
from ._app import api as apps
from ._launcher import Launcher as Launcher
from ._launcher import api as launchers
from ._util import VorlixException as VorlixException
from ._util import vorlix as vorlix

__all__ = ["App", "apps", "Launcher", "launchers", "VorlixException", "vorlix"]
