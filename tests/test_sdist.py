"""The source distribution as a device with a compiler gets it: made by the
build backend's own hook (as ./dev sdist makes it), holding the licence,
the README and the package page, and enough to build from: pip builds and installs it into a
fresh virtual environment, without build isolation, and the installed
package drives the simulated device.  About 10 s, most of it the build."""

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


def test_holds_the_sources_licence_and_metadata_but_no_development_tools(sdist):
    top = f"vorlix-{VERSION}/"
    with tarfile.open(sdist) as tar:
        names = {n.removeprefix(top) for n in tar.getnames()}
        pkg_info = tar.extractfile(top + "PKG-INFO").read().decode()
        licence = tar.extractfile(top + "LICENSE").read().decode()
    for part in ("extension", "vorlix", "vorlix-stubs"):
        for path in (REPO / part).iterdir():
            assert f"{part}/{path.name}" in names
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "PACKAGE.md", "LICENSE", "PKG-INFO"} <= names
    assert not [n for n in names if n.split("/")[0] in {"build", "dist", "tests", "tools", "dev"}]
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
