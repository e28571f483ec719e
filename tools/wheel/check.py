"""Check a freshly built wheel before ./dev wheel hands it out.

usage: check.py DIR TAG MODULE

DIR must hold exactly one wheel, tagged TAG (for example
cp314-cp314-linux_aarch64), holding the extension as MODULE at its top
level and no Python source or byte code of the package: the whole package
is the one shared object, and a vorlix/ directory in site-packages would
shadow it.
"""

import sys
import zipfile
from pathlib import Path


def problems(wheel: Path, tag: str, module: str) -> list[str]:
    found = []
    if not wheel.name.endswith(f"-{tag}.whl"):
        found.append(f"{wheel.name} is not tagged {tag}")
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        bad = zf.testzip()
        if bad is not None:
            found.append(f"{bad} in {wheel.name} is corrupt")
    if module not in names:
        found.append(f"{wheel.name} has no {module} at its top level")
    others = [n for n in names if n.endswith(".so") and n != module]
    if others:
        found.append(f"{wheel.name} has other shared objects: {', '.join(others)}")
    code = [n for n in names if n.endswith((".py", ".pyc")) or n.startswith("vorlix/")]
    if code:
        found.append(f"{wheel.name} has Python files of its own: {', '.join(code)}")
    wheel_meta = [n for n in names if n.endswith(".dist-info/WHEEL")]
    if len(wheel_meta) != 1:
        found.append(f"{wheel.name} has {len(wheel_meta)} WHEEL metadata files")
    else:
        with zipfile.ZipFile(wheel) as zf:
            meta = zf.read(wheel_meta[0]).decode()
        if f"Tag: {tag}" not in meta.splitlines():
            found.append(f"{wheel_meta[0]} does not declare Tag: {tag}")
        if "Root-Is-Purelib: false" not in meta.splitlines():
            found.append(f"{wheel_meta[0]} does not say Root-Is-Purelib: false")
    return found


def main() -> int:
    directory, tag, module = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    wheels = sorted(directory.glob("*.whl"))
    if len(wheels) != 1:
        print(f"check.py: expected one wheel in {directory}, found {len(wheels)}", file=sys.stderr)
        return 1
    found = problems(wheels[0], tag, module)
    for line in found:
        print(f"check.py: {line}", file=sys.stderr)
    if not found:
        print(f"{wheels[0].name}: {module}, tagged {tag}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
