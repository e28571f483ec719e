"""Apps: the handle ``App`` and the registry ``api`` (``vorlix.apps``).

Here ``vorlix`` is the command runner: the handles and the registry look it
up as ``vorlix._app.vorlix`` on every call, so that is the name to patch.
"""

from ._util import vorlix as vorlix

class App:
    """The handle for one app, by its name.

    A handle holds nothing but ``name`` and asks the tool afresh on every
    query and action; making one runs nothing and checks nothing. Two handles
    for the same app are distinct and compare unequal: compare their names.
    Every query and action runs ``/opt/bin/vorlix`` once, through
    ``vorlix._app.vorlix``, and raises ``VorlixException`` when the tool
    fails (``FileNotFoundError`` when it is missing).
    """

    # A plain, writable attribute: every query and action reads it afresh,
    # so rebinding it retargets the handle.
    name: str
    """The app's name, as the tool lists it; assign to it to retarget the handle."""
    def __init__(self, name: str) -> None:
        """Make a handle for the app ``name``.

        Runs nothing and checks nothing: a name the tool does not know fails
        only when the tool refuses an action on it.
        """
    # State queries are read-only properties: each read runs the tool once.
    @property
    def is_running(self) -> bool:
        """Whether the app is running (read-only).

        Runs ``vorlix list-running-apps`` once.
        Returns ``True`` when the name is one of its lines, else ``False``.
        Raises ``VorlixException`` when the listing fails.
        """
    @property
    def is_paused(self) -> bool:
        """Whether the app is paused (read-only).

        Runs ``vorlix list-paused-apps`` once.
        Returns ``True`` when the name is one of its lines, else ``False``.
        Raises ``VorlixException`` when the listing fails.
        """
    def start(self) -> None:
        """Start the app.

        Runs ``vorlix start-app NAME`` once.
        Returns ``None``; the tool's output is dropped.
        Raises ``VorlixException`` when the tool refuses.
        """
    def stop(self) -> None:
        """Stop the app.

        Runs ``vorlix stop-app NAME`` once.
        Returns ``None``; the tool's output is dropped.
        Raises ``VorlixException`` when the tool refuses.
        """
    def pause(self) -> None:
        """Pause the app.

        Runs ``vorlix pause-app NAME`` once.
        Returns ``None``; the tool's output is dropped.
        Raises ``VorlixException`` when the tool refuses (the app is not
        running, say).
        """
    def resume(self) -> None:
        """Resume the paused app.

        Runs ``vorlix resume-app NAME`` once.
        Returns ``None``; the tool's output is dropped.
        Raises ``VorlixException`` when the tool refuses.
        """

# Mapping-like but deliberately not a Mapping: no __iter__, __len__, get,
# items or values exist at run time, and none is declared here, so a checker
# refuses `for name in apps` and `len(apps)` just as the run time fails them
# (the loop falls back to item lookup by index and item 0 raises KeyError;
# len() raises TypeError).  Names are iterated through keys().  keys() with
# __getitem__ is still enough for `dict(apps)`, which works at run time too.
class API:
    """The app registry, ``vorlix.apps``: the device's apps by name.

    Answers ``keys()``, ``in`` and ``[name]`` like a read-only mapping, but
    cannot be iterated and has no ``len()``, ``items()`` or ``get()``: walk
    the names with ``keys()``. It keeps nothing: every call runs
    ``/opt/bin/vorlix`` once, through ``vorlix._app.vorlix``, and raises
    ``VorlixException`` when the tool fails.
    """

    def keys(self) -> list[str]:
        """The names of all apps.

        Runs ``vorlix list-apps`` once.
        Returns a new list: one name per line of its output, in the tool's
        order.
        Raises ``VorlixException`` when the tool fails.
        """
    # Keys are annotated str by the module itself: another type is merely
    # never listed at run time, but a checker rightly flags it as a mistake.
    def __contains__(self, key: str) -> bool:
        """Whether ``key`` is the name of a listed app (``key in apps``).

        Runs ``vorlix list-apps`` once.
        Returns ``True`` or ``False``.
        Raises ``VorlixException`` when the listing fails, rather than
        answering ``False``.
        """
    def __getitem__(self, key: str) -> App:
        """A handle for the listed app ``key`` (``apps[key]``).

        Runs ``vorlix list-apps`` once.
        Returns a new ``App`` whose name is ``key``.
        Raises ``KeyError`` (with no arguments) when the listing does not hold
        ``key``; ``VorlixException`` when the listing fails.
        """
    @property
    def running(self) -> dict[str, App]:
        """The running apps (read-only).

        Runs ``vorlix list-running-apps`` once.
        Returns a new dict from each listed name to a new ``App`` handle.
        Raises ``VorlixException`` when the listing fails.
        """
    @property
    def paused(self) -> dict[str, App]:
        """The paused apps (read-only).

        Runs ``vorlix list-paused-apps`` once.
        Returns a new dict from each listed name to a new ``App`` handle.
        Raises ``VorlixException`` when the listing fails.
        """

api: API
"""The app registry, which the package exports as ``vorlix.apps``."""
