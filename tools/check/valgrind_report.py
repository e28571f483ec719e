"""Reads valgrind's XML report of the workload and fails when an error or a
definite leak has a frame in the module's shared object (or its sources).
The interpreter's own findings are listed but do not count: they are not
this module's to fix.

usage: valgrind_report.py REPORT.xml MODULE.so
"""

import sys
import xml.etree.ElementTree as ET
from collections import Counter


def frames(error):
    for frame in error.iter("frame"):
        yield {child.tag: (child.text or "") for child in frame}


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    stack = "\n".join(
        f"    {f.get('fn', '?')} ({f.get('file') or f.get('obj', '?')}:{f.get('line', '')})"
        for f in frames(error))
    return f"{error.findtext('kind')}: {what}\n{stack}"


def main(report, module):
    root = ET.parse(report).getroot()
    status = [s.findtext("state") for s in root.iter("status")]
    if status[-1:] != ["FINISHED"]:
        sys.exit(f"valgrind did not finish: {status}")
    ours, theirs = [], Counter()
    for error in root.iter("error"):
        mine = any(f.get("obj") == module or "/extension/" in f.get("dir", "")
                   or "/vorlix/" in f.get("dir", "") for f in frames(error))
        if mine:
            ours.append(error)
        else:
            theirs[error.findtext("kind")] += 1
    if theirs:
        print(f"valgrind: outside the module (not counted): {dict(theirs)}")
    if ours:
        for error in ours:
            print(describe(error), file=sys.stderr)
        sys.exit(f"valgrind: {len(ours)} error(s) in the module")
    print("valgrind: nothing in the module")


if __name__ == "__main__":
    main(*sys.argv[1:])
