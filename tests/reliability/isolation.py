"""Running a check in an interpreter of its own, and looking at what it
leaves running.

A child interpreter can take a private mount namespace and put something
else over /opt/bin (an empty directory: the tool is missing; a file without
execute permission: the tool cannot run), which only it and its own
children see.  In the dev root /opt/bin is itself a bind mount, and the
checks run as root there.
"""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOOL_DIR = "/opt/bin"

_MS_BIND = 0x1000
_MS_REC = 0x4000
_MS_PRIVATE = 0x40000


def _libc_call(name, *args):
    libc = ctypes.CDLL(None, use_errno=True)
    if getattr(libc, name)(*args) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, f"{name}: {os.strerror(errno)}")


def private_mounts():
    """This process (and its children from now on) get mounts of their own."""
    os.unshare(os.CLONE_NEWNS)
    # The namespace's root is a chroot's directory, not a mount, so only
    # the tool's own mount can be made private; nothing mounted over it
    # then reaches the namespace it was copied from.
    _libc_call("mount", None, os.fsencode(TOOL_DIR), None, _MS_REC | _MS_PRIVATE, None)


def cover_tool_dir(replacement: str | Path):
    """Put `replacement` over /opt/bin (after private_mounts)."""
    _libc_call("mount", os.fsencode(replacement), os.fsencode(TOOL_DIR), None, _MS_BIND, None)


def uncover_tool_dir():
    _libc_call("umount2", os.fsencode(TOOL_DIR), 0)


def become_subreaper():
    """Processes orphaned below this one become its children, so that
    nothing a tool run leaves behind can slip out of sight."""
    PR_SET_CHILD_SUBREAPER = 36
    _libc_call("prctl", PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def children(pid: int | None = None) -> list[tuple[int, str, list[bytes]]]:
    """(pid, state, argv) of every process whose parent is `pid` (default:
    this process).  State "Z" is a child that exited and was never reaped."""
    parent = os.getpid() if pid is None else pid
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
            argv = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")[:-1]
        except OSError:
            continue  # gone meanwhile
        fields = stat.rsplit(")", 1)[1].split()
        if int(fields[1]) == parent:
            found.append((int(entry), fields[0], argv))
    return found


def run_child(code: str, env: dict[str, str] | None = None, timeout: float = 600):
    """Run `code` in a new interpreter like the one running the tests; it
    can import the test helpers.  Returns the completed process."""
    paths = [str(HERE), str(HERE.parent), os.environ.get("PYTHONPATH", "")]
    full_env = {**os.environ, **(env or {}), "PYTHONPATH": os.pathsep.join(p for p in paths if p)}
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=timeout)
