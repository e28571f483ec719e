"""The examples in README.md, and in PACKAGE.md (the page a package index
shows, the wheels' long description), must keep telling the truth: each
page's Python blocks run, in order and sharing one namespace, against a
fresh simulated device, both as this check reads them and as the standard
library's `python -m doctest` does.  The README, the developers' page,
opens as the package page does and leads to it; the package page links
nowhere inside this repository."""

import doctest
import re
import subprocess
import sys
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
    """Each heading, the title's being the introduction, and its text up to the next heading."""
    parts = re.split(r"^(#+ .*)\n", page.read_text(), flags=re.MULTILINE)
    return dict(zip(parts[1::2], parts[2::2]))


def test_the_readme_leads_to_the_guide_and_shares_its_introduction():
    readme, page = _sections(README), _sections(PACKAGE)
    shared = readme.keys() & page.keys()
    assert shared and {h: readme[h] for h in shared} == {h: page[h] for h in shared}
    assert "](PACKAGE.md)" in README.read_text()


def test_the_package_page_links_only_to_the_web():
    links = re.findall(r"\]\(([^)]*)\)|<a href=\"([^\"]*)\"", PACKAGE.read_text())
    assert [t for pair in links for t in pair if t and not t.startswith("https://")] == []
