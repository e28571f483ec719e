"""The source distribution as a device with a compiler and a packager get
it: made by the build backend's own hook (as ./dev sdist makes it), holding
the whole repository but what builds make (the licence, the README and the
package page, the tests, the simulator and the tools among it).  pip builds
and installs it into a fresh virtual environment, without build isolation,
and the installed package drives the simulated device; a packager builds it
with cmake and runs its own tests against its own simulator.  About 30 s,
most of it the two builds."""

import email.parser
import json
import os
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import tomllib
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

pytestmark = pytest.mark.native_only("builds with the dev root's compiler and cmake")

REPO = Path(__file__).resolve().parent.parent
VERSION = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    # The hook reads pyproject.toml from the working directory.
    name = subprocess.run(
        [sys.executable, "-P", "-c",
         "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))",
         str(out)],
        cwd=REPO, check=True, capture_output=True, text=True,
    ).stdout.splitlines()[-1]
    assert name == f"vorlix-{VERSION}.tar.gz"
    return out / name


# What builds, tests and the checks leave in a checkout (.gitignore).
MADE = {"build", "dist", "__pycache__", ".pytest_cache", ".hypothesis", ".mypy_cache", ".git"}


def test_holds_the_repository_licence_and_metadata_but_nothing_made(sdist):
    top = f"vorlix-{VERSION}/"
    with tarfile.open(sdist) as tar:
        names = {n.removeprefix(top) for n in tar.getnames()}
        pkg_info = tar.extractfile(top + "PKG-INFO").read().decode()
        licence = tar.extractfile(top + "LICENSE").read().decode()
    sources = {str(p.relative_to(REPO)) for p in REPO.rglob("*")
               if p.is_file() and not MADE & set(p.relative_to(REPO).parts)}
    assert {"dev", "tools/simulator/vorlix", "tests/conftest.py", "CMakeLists.txt"} <= sources
    assert sources - names == set()
    assert "PKG-INFO" in names
    assert not [n for n in names if MADE & set(n.split("/"))]
    assert "the vorlix developers" in licence
    meta = email.parser.Parser().parsestr(pkg_info)
    assert meta["Metadata-Version"] == "2.4"
    assert (meta["Name"], meta["Version"]) == ("vorlix", VERSION)
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    # The index's page is the user's page, and says which CPythons are served.
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload() == (REPO / "PACKAGE.md").read_text()
    classifiers = meta.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    served = [c.rsplit(" ", 1)[1] for c in classifiers if c.startswith("Programming Language :: Python :: 3.")]
    assert served == ["3.14", "3.15"]
    allowed = SpecifierSet(meta["Requires-Python"])
    assert [v for v in ("3.13", "3.14", "3.15", "3.16") if v in allowed] == served


def test_pip_builds_and_installs_it_and_the_installed_package_works(sdist, sim, tmp_path):
    venv = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
                   check=True)
    python = str(venv / "bin" / "python")
    # No PYTHONPATH: only the installed copy may be found, not the build tree.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    pip = subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps",
         "--disable-pip-version-check", "--no-cache-dir", str(sdist)],
        env=env, cwd=tmp_path, capture_output=True, text=True,
    )
    assert pip.returncode == 0, pip.stdout + pip.stderr
    code = textwrap.dedent("""
        import json, sysconfig, vorlix
        vorlix.apps["camera"].start()
        print(json.dumps([vorlix.__file__, sysconfig.get_path("platlib"),
                          sorted(vorlix.apps.running), vorlix.launchers.current.name]))
    """)
    run = subprocess.run([python, "-P", "-c", code], env=env, cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    where, site, running, current = json.loads(run.stdout)
    assert where == f"{site}/vorlix/__init__{sysconfig.get_config_var('EXT_SUFFIX')}"
    assert running == ["camera", "mail", "music"]
    assert current == "home"
    assert ["start-app", "camera"] in sim.calls()


# Enough of the suite to show that the tests, the simulator and the
# documents came along and work together, in a few seconds.
PACKAGERS_TESTS = ("test_readme.py", "test_simulator.py", "test_apps.py", "test_launchers.py",
                   "test_binary.py", "test_typing.py")


def test_a_packager_builds_it_and_runs_its_tests_with_its_own_simulator(sdist, tmp_path):
    with tarfile.open(sdist) as tar:
        tar.extractall(tmp_path, filter="data")
    source, build = tmp_path / f"vorlix-{VERSION}", tmp_path / "build"
    for step in (["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                  f"-DPython_EXECUTABLE={sys.executable}"],
                 ["cmake", "--build", build]):
        made = subprocess.run(step, capture_output=True, text=True)
        assert made.returncode == 0, made.stdout + made.stderr
    # The tests run /opt/bin/vorlix: the distribution's own simulator,
    # bound there in a mount namespace of their own.
    private = ["unshare", "--mount"] if os.geteuid() == 0 else ["unshare", "--user", "--map-root-user", "--mount"]
    env = {**os.environ, "PYTHONPATH": str(build), "VORLIX_BUILD_DIR": str(build)}
    run = subprocess.run(
        [*private, "sh", "-c", 'mount --bind "$1" /opt/bin && shift && exec "$@"', "sh",
         source / "tools" / "simulator", sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider",
         *(f"tests/{name}" for name in PACKAGERS_TESTS)],
        cwd=source, env=env, capture_output=True, text=True, timeout=600,
    )
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr
    summary = run.stdout.splitlines()[-1]
    assert " passed" in summary and "skipped" not in summary, summary
