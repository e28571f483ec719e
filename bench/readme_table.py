"""README.md's Measured table, made from the results files alone, so that
no figure of the package's costs is typed twice: ./dev bench rewrites it
after writing bench/results.md or bench/results-3.15.md, and running this
file rewrites it from the files as they are.

Each row of the table takes one measure of the results (or a group of them,
as the ten operations of the per-call rows), its target, and each
CPython's figure and outcome."""

from __future__ import annotations

import re
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
README = BENCH.parent / "README.md"
RESULTS = {"3.14": BENCH / "results.md", "3.15": BENCH / "results-3.15.md"}
BEGIN = ("<!-- The table below is written by ./dev bench from bench/results*.md "
         "(bench/readme_table.py); edits here are overwritten. -->")
END = "<!-- End of the table written by ./dev bench. -->"

# What the row says; the start of the measure (or measures) in the results;
# the figures of the vorlix cell to show, as a pattern whose groups are
# joined by ", " (a group of measures shows the lowest and highest).
ROWS = [
    ("`import vorlix` over a process importing `subprocess` and `collections.abc`",
     "Import: own cost over the floor", r"^([\d.]+ ms) .*?= ([\d.]+%)"),
    ("`-X importtime` self of the four modules, best", "Import: `-X importtime` self, 4 modules together",
     r"= ([\d.]+x Python's)"),
    ("`import vorlix` under `-X lazy_imports=all`, a fresh process",
     "Import under `-X lazy_imports=all`: `__import__` in a fresh process; Python from its compiled files",
     r"^([\d.]+ ms) .*?= ([\d.]+x Python's)"),
    ("`-X importtime` self under `-X lazy_imports=all`, best",
     "Import under `-X lazy_imports=all`: `-X importtime` self", r"= ([\d.]+x Python's)"),
    ("Own time per call, the tool replaced by an in-process fake", "Own overhead:", r"^(\d+) ns"),
    ("A call under coverage.py's sysmon core measuring branches, over no tool",
     "Under coverage.py's sysmon core", r": ([\d.]+)x"),
    ("A call through the simulated tool against a raw `subprocess.run`", "End to end:", r": ([+-][\d.]+)%"),
    ("Stripped shared object", "Footprint: stripped shared object", r"^([\d.]+ KiB)"),
    ("Resident memory added by the import", "Footprint: resident memory over the floor", r"^(\d+ KiB)"),
]
# The unit of a group's figures, shown after its range.
UNITS = {r"^(\d+) ns": " ns", r": ([\d.]+)x": "x", r": ([+-][\d.]+)%": "%"}


def measures(text: str) -> dict[str, list[str]]:
    """The results table's rows by measure: vorlix, Python, target, result."""
    found = {}
    for line in text.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if line.startswith("| ") and len(cells) == 5 and cells[0] != "Measure":
            found[cells[0]] = cells[1:]
    return found


def about(text: str) -> str:
    """Where the figures come from: the CPython, the day and the commit."""
    python = re.search(r"^- Python: CPython (\S+)", text, re.MULTILINE)
    written = re.search(r"^Written by `./dev bench` on (\S+) .*? at commit (\S+),", text, re.MULTILINE)
    if not (python and written):
        raise ValueError("a results file without its Python, date and commit")
    return f"CPython {python.group(1)}, {written.group(1)}, commit {written.group(2)}"


def cell(rows: list[list[str]], pattern: str) -> str:
    """The figure and outcome of one measure, or of a group's lowest to
    highest, with how many of them met their target; a measure this
    CPython has not is a dash."""
    if not rows:
        return "—"
    figures = []
    for vorlix, *_ in rows:
        match = re.search(pattern, vorlix)
        if match is None:
            raise ValueError(f"no figure in {vorlix!r}")
        figures.append(match.groups())
    missed = sum("missed" in result for *_, result in rows)
    if len(rows) == 1:
        figure = ", ".join(figures[0])
        return f"{figure}: {'**missed**' if missed else 'met'}"
    values = sorted((f[0] for f in figures), key=float)
    low, high = values[0], values[-1]
    outcome = f"**missed** ({missed} of {len(rows)})" if missed else f"met ({len(rows)} of {len(rows)})"
    return f"{low} to {high}{UNITS[pattern]}: {outcome}"


def target(rows: list[list[str]]) -> str:
    """The rows' target; a group whose targets differ in their figures (no
    regression, each against its own last result) shows what they share."""
    targets = {row[2] for row in rows}
    if len(targets) == 1:
        return targets.pop()
    return sorted(targets)[0].split(":")[0]


def render(texts: dict[str, str]) -> str:
    tables = {version: measures(text) for version, text in texts.items()}
    lines = [BEGIN, "", "| What | Target | " + " | ".join(f"CPython {v}" for v in texts) + " |",
             "|---|---|" + "---|" * len(texts)]
    for what, start, pattern in ROWS:
        per_version = {v: [row for name, row in table.items() if name.startswith(start)]
                       for v, table in tables.items()}
        everywhere = [row for rows in per_version.values() for row in rows]
        if not everywhere:
            raise ValueError(f"no measure starting {start!r} in the results")
        cells = [cell(per_version[v], pattern) for v in texts]
        lines.append(f"| {what} | {target(everywhere)} | " + " | ".join(cells) + " |")
    sources = "; ".join(f"[`bench/{RESULTS[v].name}`](bench/{RESULTS[v].name}): {about(text)}"
                        for v, text in texts.items())
    lines += ["", f"From {sources}.", "", END]
    return "\n".join(lines)


def update(readme: Path = README) -> None:
    """Rewrites the table between its marks in README.md."""
    texts = {version: path.read_text() for version, path in RESULTS.items()}
    page = readme.read_text()
    begin, end = page.index(BEGIN), page.index(END) + len(END)
    readme.write_text(page[:begin] + render(texts) + page[end:])


if __name__ == "__main__":
    update(Path(sys.argv[1]) if len(sys.argv) > 1 else README)
