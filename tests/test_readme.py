"""The examples in README.md, and in PACKAGE.md (the page a package index
shows, the wheels' long description), must keep telling the truth: each
page's Python blocks run, in order and sharing one namespace, against a
fresh simulated device, both as this check reads them and as the standard
library's `python -m doctest` does.  The README, the developers' page,
opens as the package page does and leads to it; the package page links
nowhere inside this repository."""

import doctest
import importlib.machinery
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
README = REPO / "README.md"
PACKAGE = REPO / "PACKAGE.md"
PAGES = pytest.mark.parametrize("page", [README, PACKAGE], ids=lambda p: p.name)

# A fenced Python block, possibly indented inside a list item.
BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)


@PAGES
def test_examples_hold_on_the_default_device(page, sim, capsys):
    text = page.read_text()
    parser, runner, namespace = doctest.DocTestParser(), doctest.DocTestRunner(), {}
    examples = 0
    for block in BLOCK.finditer(text):
        # Numbered from the block's place in the file, so a failure report
        # points at the page's own line.
        first_line = text.count("\n", 0, block.start(2))
        test = parser.get_doctest(textwrap.dedent(block.group(2)), namespace, page.name,
                                  str(page), first_line)
        runner.run(test, clear_globs=False)
        namespace = test.globs  # a copy, which the next block carries on from
        examples += len(test.examples)
    report = capsys.readouterr().out
    assert examples > 0
    assert runner.failures == 0, report


@PAGES
def test_the_standard_doctest_passes_too(page, sim):
    proc = subprocess.run([sys.executable, "-m", "doctest", str(page)],
                          capture_output=True, text=True, cwd=sim.state)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def _sections(page: Path) -> dict[str, str]:
    """Each heading, the title's being the introduction, and its text up to
    the next heading (a shell comment in a code block is none)."""
    sections, heading, fenced = {}, None, False
    for line in page.read_text().splitlines(keepends=True):
        fenced ^= line.lstrip().startswith("```")
        if not fenced and re.match(r"#+ ", line):
            heading = line.rstrip("\n")
            sections[heading] = ""
        elif heading is not None:
            sections[heading] += line
    return sections


def test_the_readme_leads_to_the_guide_and_shares_its_introduction():
    readme, page = _sections(README), _sections(PACKAGE)
    # Both open with the title and the same paragraph saying what this is.
    title = next(iter(page))
    assert next(iter(readme)) == title
    assert readme[title].startswith(page[title].split("\n\n")[0] + "\n\n")
    shared = (readme.keys() & page.keys()) - {title}
    assert shared and {h: readme[h] for h in shared} == {h: page[h] for h in shared}
    assert "](PACKAGE.md)" in README.read_text()


def test_the_package_page_links_only_to_the_web():
    links = re.findall(r"\]\(([^)]*)\)|<a href=\"([^\"]*)\"", PACKAGE.read_text())
    assert [t for pair in links for t in pair if t and not t.startswith("https://")] == []


# PACKAGE.md's way to run a program against a fake tool without root: its
# script, its fake device and its transcript, run as they stand by an
# unprivileged user.  Needs unprivileged user namespaces, which the kernel
# refuses inside a chroot: so under ./dev --arch aarch64, whose arm64 root
# is one, this is skipped; ./dev's own root is entered by pivot_root.
NOBODY = 65534


def _is_the_systems_root() -> bool:
    """Root of the first user namespace.  Root of another one (README's
    recipe without root runs the suite under with-tool) is an unprivileged
    user already, with no other user to become, and makes its own user
    namespace inside that one."""
    return os.geteuid() == 0 and Path("/proc/self/uid_map").read_text().split() == ["0", "0", "4294967295"]


def test_the_fake_tool_recipe_runs_without_root(sim):
    blocks = re.findall(r"^```sh\n(.*?)^```$", _sections(PACKAGE)["### A tool of your own, without root"],
                        re.MULTILINE | re.DOTALL)
    script, make_fake, transcript = blocks
    as_user = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
    as_user = as_user if _is_the_systems_root() else []
    probe = subprocess.run([*as_user, "unshare", "--user", "--map-root-user", "--mount", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"an unprivileged user cannot make a user namespace here: {probe.stderr.strip()}")
    # Not pytest's own temporary directory, which only its owner may enter.
    work = Path(tempfile.mkdtemp())
    try:
        (work / "bin").mkdir()
        (work / "bin" / "python3").symlink_to(sys.executable)
        # A copy of the module that the other user may read wherever the
        # build is.
        (work / "lib").mkdir()
        shutil.copy(importlib.machinery.PathFinder.find_spec("vorlix").origin, work / "lib")
        (work / "with-tool").write_text(script)
        (work / "with-tool").chmod(0o755)
        if as_user:
            for path in [work, *work.rglob("*")]:
                os.chown(path, NOBODY, NOBODY, follow_symlinks=False)
        env = {**os.environ, "PATH": f"{work / 'bin'}:{os.environ['PATH']}", "PYTHONPATH": str(work / "lib")}

        def sh(command):
            return subprocess.run([*as_user, "sh", "-euc", command], cwd=work, env=env,
                                  capture_output=True, text=True, timeout=60)

        made = sh(make_fake)
        assert made.returncode == 0, made.stderr
        for command, expected in re.findall(r"^\$ (.*)\n((?:[^$].*\n)*)", transcript, re.MULTILINE):
            ran = sh(command)
            assert (ran.returncode, ran.stderr, ran.stdout) == (0, "", expected), command
    finally:
        shutil.rmtree(work)
    # The device of the test's own simulator was never asked.
    assert sim.calls() == []
