"""Launchers: the handle ``Launcher`` and the registry ``api`` (``vorlix.launchers``).

Here ``vorlix`` is the command runner: the handles' actions and the registry
look it up as ``vorlix._launcher.vorlix`` on every call, so that is the name
to patch. The state queries run the tool through ``subprocess.call`` instead.
"""

# The module's own imports are attributes that callers may rebind (the state
# queries look `subprocess` up on every read), so they are stated here too.
import subprocess as subprocess
from collections.abc import Callable as Callable

from ._util import vorlix as vorlix

class Launcher:
    """The handle for one launcher, by its name.

    A handle holds nothing but ``name`` and asks the tool afresh on every
    query and action; making one runs nothing and checks nothing. Two handles
    for the same launcher are distinct and compare unequal: compare their
    names. The actions run ``/opt/bin/vorlix`` once, through
    ``vorlix._launcher.vorlix``, and raise ``VorlixException`` when the tool
    fails; the state queries read only its exit status and never raise it.
    A missing tool raises ``FileNotFoundError`` from every call.
    """

    # A plain, writable attribute, read afresh by every operation.
    name: str
    """The launcher's name, as the tool lists it; assign to it to retarget the handle."""
    def __init__(self, name: str) -> None:
        """Make a handle for the launcher ``name``.

        Runs nothing and checks nothing: a name the tool does not know fails
        only when the tool refuses an action on it.
        """
    # Part of the interface with its full signature, but it only raises
    # NotImplementedError; the annotation is kept as the module states it.
    def logs(self, _onlogline: Callable[[str], None] | None = None) -> list[str] | None:
        """Read the launcher's log: not implemented yet.

        Runs nothing.
        Raises ``NotImplementedError``, always.
        """
    def start(self) -> None:
        """Start the launcher, without making it current.

        Runs ``vorlix start-launcher NAME`` once.
        Returns ``None``; the tool's output is dropped.
        Raises ``VorlixException`` when the tool refuses.
        """
    def stop(self) -> None:
        """Stop the launcher.

        Runs ``vorlix stop-launcher NAME`` once.
        Returns ``None``; the tool's output is dropped.
        Raises ``VorlixException`` when the tool refuses.
        """
    def enable(self, start: bool = False) -> None:
        """Make this launcher the current one, and start it too if ``start``.

        Runs ``vorlix switch-launcher NAME`` once, or
        ``vorlix switch-launcher --start NAME`` when ``start`` is true.
        Returns ``None``; the tool's output is dropped.
        Raises ``VorlixException`` when the tool refuses.
        """
    # Read-only properties: each read runs the tool once and answers from its
    # exit status alone.
    @property
    def is_current(self) -> bool:
        """Whether this launcher is the current one (read-only).

        Runs ``vorlix is-current-launcher NAME`` once, through
        ``subprocess.call``: its output is not captured but appears on your
        program's standard output and standard error.
        Returns ``True`` when the tool exits with status 0, else ``False``.
        Raises no ``VorlixException``: a failing tool means ``False``.
        """
    @property
    def is_enabled(self) -> bool:
        """Whether this launcher is enabled (read-only).

        Runs ``vorlix is-enabled-launcher NAME`` once, through
        ``subprocess.call``: its output is not captured but appears on your
        program's standard output and standard error.
        Returns ``True`` when the tool exits with status 0, else ``False``.
        Raises no ``VorlixException``: a failing tool means ``False``.
        """
    @property
    def is_active(self) -> bool:
        """Whether this launcher is active, that is started (read-only).

        Runs ``vorlix is-active-launcher NAME`` once, through
        ``subprocess.call``: its output is not captured but appears on your
        program's standard output and standard error.
        Returns ``True`` when the tool exits with status 0, else ``False``.
        Raises no ``VorlixException``: a failing tool means ``False``.
        """

# Mapping-like without being a Mapping; see the app registry in _app.pyi for
# why __iter__ and __len__ are left undeclared.
class API:
    """The launcher registry, ``vorlix.launchers``: launchers by name, the current one, switching.

    Answers ``keys()``, ``in`` and ``[name]`` like a read-only mapping, but
    cannot be iterated and has no ``len()``, ``items()`` or ``get()``: walk
    the names with ``keys()``. It keeps nothing: every call runs
    ``/opt/bin/vorlix`` once, through ``vorlix._launcher.vorlix``, and raises
    ``VorlixException`` when the tool fails.
    """

    def keys(self) -> list[str]:
        """The names of all launchers.

        Runs ``vorlix list-launchers`` once.
        Returns a new list: one name per line of its output, in the tool's
        order.
        Raises ``VorlixException`` when the tool fails.
        """
    def __contains__(self, key: str) -> bool:
        """Whether ``key`` is the name of a listed launcher (``key in launchers``).

        Runs ``vorlix list-launchers`` once.
        Returns ``True`` or ``False``.
        Raises ``VorlixException`` when the listing fails, rather than
        answering ``False``.
        """
    def __getitem__(self, key: str) -> Launcher:
        """A handle for the listed launcher ``key`` (``launchers[key]``).

        Runs ``vorlix list-launchers`` once.
        Returns a new ``Launcher`` whose name is ``key``.
        Raises ``KeyError`` (with no arguments) when the listing does not hold
        ``key``; ``VorlixException`` when the listing fails.
        """
    @property
    def current(self) -> Launcher:
        """The current launcher (read-only).

        Runs ``vorlix status`` once and takes the name from the first line of
        its output by position, dropping its first 14 and last 4 characters.
        Returns a new ``Launcher`` with that name.
        Raises ``IndexError`` when ``status`` prints nothing;
        ``VorlixException`` when the tool fails.
        """
    def switch(self, launcher: Launcher | str, start: bool = False) -> None:
        """Make ``launcher`` (a handle or a name) current; start it too if ``start``.

        Runs ``vorlix switch-launcher NAME`` once, or
        ``vorlix switch-launcher --start NAME``, through the handle's
        ``enable``; a name is not checked against ``keys()``: the tool decides.
        Returns ``None``.
        Raises ``VorlixException`` when the tool refuses.
        """

api: API
"""The launcher registry, which the package exports as ``vorlix.launchers``."""
