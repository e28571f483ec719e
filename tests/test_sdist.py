"""The source distribution as a device with a compiler and a packager get
it: made by the build backend's own hook as ./dev sdist makes it
(tools/sdist.py), holding what git tracks of a checkout and nothing else
(the licence, the README and the package page, the tests, the simulator
and the tools among it), or all but what builds make of a tree that is no
checkout.  pip builds and installs it into a fresh virtual environment,
without build isolation, and the installed package drives the simulated
device; a packager builds it and runs its tests by README.md's recipe as
printed there, as root and as an unprivileged user.  The recipe runs the
whole suite twice more, so it runs when VORLIX_PACKAGER_RECIPE is set
(./dev check sdist, and so CI), not in a contributor's every ./dev test."""

import email.parser
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import textwrap
import tomllib
from pathlib import Path
from xml.etree import ElementTree

import pytest
from packaging.specifiers import SpecifierSet

pytestmark = pytest.mark.native_only("builds with the dev root's compiler and cmake")

REPO = Path(__file__).resolve().parent.parent
VERSION = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]


def make_sdist(top: Path, out: Path) -> Path:
    """The source distribution of the tree `top`, as ./dev sdist makes it."""
    made = subprocess.run([sys.executable, "-P", str(REPO / "tools" / "sdist.py"), str(out)],
                          cwd=top, check=True, capture_output=True, text=True).stdout.splitlines()[-1]
    assert made == str(out / f"vorlix-{VERSION}.tar.gz")
    return Path(made)


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    return make_sdist(REPO, tmp_path_factory.mktemp("sdist"))


def names_in(sdist: Path) -> set[str]:
    with tarfile.open(sdist) as tar:
        return {n.removeprefix(f"vorlix-{VERSION}/") for n in tar.getnames()}


# What builds, tests and the checks leave in a checkout (.gitignore).
MADE = {"build", "dist", "__pycache__", ".pytest_cache", ".hypothesis", ".mypy_cache", ".git"}


def test_holds_the_repository_licence_and_metadata_but_nothing_made(sdist):
    top = f"vorlix-{VERSION}/"
    names = names_in(sdist)
    with tarfile.open(sdist) as tar:
        pkg_info = tar.extractfile(top + "PKG-INFO").read().decode()
        licence = tar.extractfile(top + "LICENSE").read().decode()
    if (REPO / ".git").exists():
        listed = subprocess.run(["git", "-c", f"safe.directory={REPO}", "-C", str(REPO), "ls-files", "-z"],
                                check=True, capture_output=True, text=True).stdout.split("\0")
        sources = {name for name in listed if name and (REPO / name).is_file()}
    else:
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


def test_a_checkout_gives_what_git_tracks_and_no_untracked_file(tmp_path):
    checkout = tmp_path / "checkout"
    (checkout / "tools").mkdir(parents=True)
    for name in ("pyproject.toml", "PACKAGE.md", "LICENSE"):
        shutil.copy(REPO / name, checkout / name)
    (checkout / "tools" / "kept.sh").write_text("echo tracked\n")
    (checkout / "tools" / "gone.sh").write_text("echo tracked, then deleted\n")
    subprocess.run(["git", "init", "-q"], cwd=checkout, check=True)
    subprocess.run(["git", "add", "."], cwd=checkout, check=True)
    (checkout / "tools" / "gone.sh").unlink()
    # A contributor's scratch files: none is ignored by .gitignore.
    (checkout / "scratch.py").write_text("print('not for packagers')\n")
    (checkout / "tools" / "try.sh").write_text("echo mine\n")
    names = names_in(make_sdist(checkout, tmp_path))
    assert names - {"PKG-INFO"} == {"pyproject.toml", "PACKAGE.md", "LICENSE", "tools/kept.sh"}


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


def _sh_blocks(page: str, heading: str) -> list[str]:
    """The shell blocks of a page from a heading on, as printed."""
    text = (REPO / page).read_text()
    return re.findall(r"^```sh\n(.*?)^```$", text[text.index(f"\n{heading}\n"):], re.MULTILINE | re.DOTALL)


# The packager's recipe as README.md prints it (after the ./dev block), and
# PACKAGE.md's with-tool script, which its no-root twin runs.
RECIPES = dict(zip(["as root", "without root"],
                   _sh_blocks("README.md", "## Building the wheels and the source distribution")[1:3]))
WITH_TOOL = _sh_blocks("PACKAGE.md", "### A tool of your own, without root")[0]
FROM_AN_SDIST = "run from a source distribution: a packager's run, which this test would start again inside itself"
RECIPE_WANTED = bool(os.environ.get("VORLIX_PACKAGER_RECIPE"))
# What a packager's run lacks (or the recipe's CPython does), as the tests
# that need it say when they skip.
ACCEPTED_SKIPS = ("a reliability check: run by ./dev check", "needs the debug interpreter",
                  "no build/aarch64-3.X", "lazy imports came with 3.15", FROM_AN_SDIST)
NOBODY = 65534


@pytest.mark.parametrize("way", RECIPES)
def test_a_packager_runs_the_readmes_recipe_in_it(sdist, way):
    if (REPO / "PKG-INFO").exists():
        pytest.skip(FROM_AN_SDIST)
    if f"python{sys.version_info.major}.{sys.version_info.minor}" not in RECIPES[way]:
        pytest.skip("the recipe builds for another CPython, whose ./dev check sdist runs it")
    if not RECIPE_WANTED:
        pytest.skip("the packager's recipe runs the suite twice more: ./dev check sdist runs it")
    if way == "as root" and os.geteuid() != 0:
        pytest.skip("needs root")
    as_user = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
    as_user = as_user if way == "without root" and os.geteuid() == 0 else []
    # Not pytest's own temporary directory, which only its owner may enter:
    # the tests that run as another user make theirs in this one.
    work = Path(tempfile.mkdtemp())
    work.chmod(0o755)
    try:
        with tarfile.open(sdist) as tar:
            tar.extractall(work, filter="data")
        (work / "bin").mkdir()
        (work / "bin" / "with-tool").write_text(WITH_TOOL)
        (work / "bin" / "with-tool").chmod(0o755)
        (work / "tmp").mkdir()
        if as_user:
            for path in [work, *work.rglob("*")]:
                os.chown(path, NOBODY, NOBODY, follow_symlinks=False)
        # Nothing of this run's build: the recipe names its own; nor its
        # skip log, as the recipe's skips are held to ACCEPTED_SKIPS here.
        # The report says why each skipped test skipped; a temporary
        # directory of the run's own keeps its pytest from this one's.
        env = {k: v for k, v in os.environ.items()
               if k not in ("PYTHONPATH", "VORLIX_BUILD_DIR", "VORLIX_SKIP_LOG")}
        env |= {"PATH": f"{work / 'bin'}:{env['PATH']}", "HOME": str(work), "TMPDIR": str(work / "tmp"),
                "PYTEST_ADDOPTS": f"-p no:cacheprovider --junitxml={work / 'report.xml'}"}
        run = subprocess.run([*as_user, "sh", "-ec", RECIPES[way]], cwd=work / f"vorlix-{VERSION}", env=env,
                             capture_output=True, text=True, timeout=1800)
        assert run.returncode == 0, run.stdout[-20000:] + run.stderr[-4000:]
        skips = {skip.get("message") for skip in ElementTree.parse(work / "report.xml").iter("skipped")}
    finally:
        shutil.rmtree(work)
    assert [reason for reason in skips if not reason.startswith(ACCEPTED_SKIPS)] == []
