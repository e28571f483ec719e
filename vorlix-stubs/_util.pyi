"""The command runner ``vorlix`` and the package's one error type.

Inside this module (and inside ``vorlix._app`` and ``vorlix._launcher``) the
name ``vorlix`` is the runner, not the package.
"""

# Bound at import and looked up on every call, so callers may rebind it.
import subprocess as subprocess

# Raised by the runner alone, with the tool's standard output, a newline and
# its standard error as the single argument.
class VorlixException(Exception):
    """The control tool failed: it exited with a status other than 0.

    Raised by the runner ``vorlix.vorlix``, and so by every query and action
    that runs the tool through it; the launcher state queries never raise it.
    The message, its only argument, is the tool's standard output, a newline,
    and its standard error, each exactly as printed.
    """

def vorlix(*args: str) -> str:
    """Run the control tool with ``args`` and return its standard output.

    Runs ``/opt/bin/vorlix *args`` once (no shell; each argument stays one
    argument, unchanged) and waits for it to exit, with no time limit.
    Returns the tool's whole standard output as text; standard error is
    dropped.
    Raises ``VorlixException`` when the tool exits with a status other than
    0 or is killed by a signal; ``FileNotFoundError`` or ``PermissionError``
    when ``/opt/bin/vorlix`` is missing or not executable; ``TypeError`` for
    an argument that is not text; ``UnicodeDecodeError`` when the output is
    not in the locale's encoding.
    """
