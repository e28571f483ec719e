# The command runner and the package's one error type.  Inside this module
# (and inside _app and _launcher) the name `vorlix` is the runner, not the
# package.

# Bound at import and looked up on every call, so callers may rebind it.
import subprocess as subprocess

# Raised by the runner alone, with the tool's standard output, a newline and
# its standard error as the single argument.
class VorlixException(Exception): ...

def vorlix(*args: str) -> str: ...
