"""Check a freshly built wheel before ./dev wheel hands it out.

usage: check.py DIR TAG MODULE

DIR must hold exactly one wheel, tagged TAG (for example
cp314-cp314-manylinux_2_17_aarch64.manylinux2014_aarch64), holding the
extension as MODULE at its top level and no Python source or byte code of
the package: the whole package is the one shared object, and a vorlix/
directory in site-packages would shadow it.  The licence must be in it and
in its metadata.

A manylinux tag is a promise about the oldest C library the wheel runs
with, so it is not taken on trust: auditwheel reads the shared object's
symbol versions and libraries, and the policy it finds may be no newer than
the one the tag names.
"""

import re
import subprocess
import sys
import zipfile
from pathlib import Path

# The legacy names of manylinux policies, by the glibc each one stands for.
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def glibc_of(platform: str) -> tuple[int, int] | None:
    """manylinux_2_17_aarch64 or manylinux2014_aarch64 as (2, 17); None for
    any other platform tag (linux_aarch64 promises nothing)."""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", platform)
    if match:
        return int(match[1]), int(match[2])
    return LEGACY.get(platform.partition("_")[0])


def expanded(tag: str) -> set[str]:
    """The single tags a compressed tag set stands for, one per platform."""
    interpreter, abi, platforms = tag.split("-")
    return {f"{interpreter}-{abi}-{platform}" for platform in platforms.split(".")}


def auditwheel_policy(wheel: Path) -> str:
    """The most compatible platform tag auditwheel finds the wheel
    consistent with, or its whole output when it names none."""
    proc = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
    # auditwheel wraps its sentences at any space.
    text = " ".join((proc.stdout + proc.stderr).split())
    match = re.search(r'consistent with the following platform tag: "([^"]+)"', text)
    return match[1] if match and proc.returncode == 0 else text


def manylinux_problems(wheel: Path, tag: str) -> list[str]:
    promised = [glibc_of(p) for p in tag.rpartition("-")[2].split(".")]
    if not any(promised):
        return []
    if len(set(promised)) != 1:
        return [f"{tag} names more than one C library"]
    policy = auditwheel_policy(wheel)
    found = glibc_of(policy)
    if found is None:
        return [f"auditwheel finds {wheel.name} fit for no manylinux policy: {policy}"]
    if found > promised[0]:
        return [f"auditwheel finds {wheel.name} needs {policy}, newer than its tag {tag}"]
    return []


def problems(wheel: Path, tag: str, module: str) -> list[str]:
    found = []
    # Tools order a compressed tag set as they like (auditwheel sorts it).
    if expanded("-".join(wheel.name.removesuffix(".whl").split("-")[-3:])) != expanded(tag):
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
        declared = {line[5:] for line in meta.splitlines() if line.startswith("Tag: ")}
        if declared != expanded(tag):
            found.append(f"{wheel_meta[0]} declares the tags {sorted(declared)}, not {tag}")
        if "Root-Is-Purelib: false" not in meta.splitlines():
            found.append(f"{wheel_meta[0]} does not say Root-Is-Purelib: false")
    licence = [n for n in names if n.endswith(".dist-info/licenses/LICENSE")]
    metadata = [n for n in names if n.endswith(".dist-info/METADATA")]
    if len(licence) != 1:
        found.append(f"{wheel.name} does not hold the licence in its .dist-info/licenses")
    if len(metadata) == 1:
        with zipfile.ZipFile(wheel) as zf:
            lines = zf.read(metadata[0]).decode().splitlines()
        for field in ("License-Expression: MIT", "License-File: LICENSE"):
            if field not in lines:
                found.append(f"{metadata[0]} does not say {field}")
    else:
        found.append(f"{wheel.name} has {len(metadata)} METADATA files")
    return found + manylinux_problems(wheel, tag)


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
