"""The examples in README.md must keep telling the truth: its Python blocks
run, in order and sharing one namespace, against a fresh simulated device."""

import doctest
import re
import textwrap
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"

# A fenced Python block, possibly indented inside a list item.
BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)


def test_readme_examples_hold_on_the_default_device(sim, capsys):
    text = README.read_text()
    parser, runner, namespace = doctest.DocTestParser(), doctest.DocTestRunner(), {}
    examples = 0
    for block in BLOCK.finditer(text):
        # Numbered from the block's place in the file, so a failure report
        # points at the README's own line.
        first_line = text.count("\n", 0, block.start(2))
        test = parser.get_doctest(textwrap.dedent(block.group(2)), namespace, "README.md",
                                  str(README), first_line)
        runner.run(test, clear_globs=False)
        namespace = test.globs  # a copy, which the next block carries on from
        examples += len(test.examples)
    report = capsys.readouterr().out
    assert examples > 0
    assert runner.failures == 0, report
