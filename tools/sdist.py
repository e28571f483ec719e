"""The source distribution of the project in the working directory, written
into the directory given (./dev sdist: dist/), by scikit-build-core's own
hook, and its path printed.

In a git checkout it holds what git tracks, as the work tree has it: a
contributor's scratch files and whatever else lies about untracked never
go in, whatever .gitignore says.  Elsewhere (an unpacked source
distribution, a packager's copy) it holds every file but what builds make,
as pyproject.toml says."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from scikit_build_core.build import build_sdist


def tracked(top: Path) -> list[str] | None:
    """The files git tracks under `top` and the work tree still has, or
    None when `top` is not a checkout."""
    if not (top / ".git").exists():
        return None
    # The checkout may belong to another user than the one packing it.
    listed = subprocess.run(["git", "-c", f"safe.directory={top}", "-C", str(top), "ls-files", "-z"],
                            check=True, capture_output=True).stdout
    names = [os.fsdecode(name) for name in listed.split(b"\0") if name]
    return [name for name in names if os.path.lexists(top / name)]


def main(out: str) -> None:
    top, out_dir = Path.cwd(), Path(out).resolve()
    files = tracked(top)
    if files is None:
        print(out_dir / build_sdist(str(out_dir)))
        return
    with tempfile.TemporaryDirectory(prefix="vorlix-sdist-") as stage:
        for name in files:
            target = Path(stage, name)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(top / name, target, follow_symlinks=False)
        # The hook packs the working directory.
        os.chdir(stage)
        try:
            made = build_sdist(str(out_dir))
        finally:
            os.chdir(top)
    print(out_dir / made)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: sdist.py OUT_DIR (run in the project's top directory)")
    main(sys.argv[1])
