#!/usr/bin/env python3
"""Counts code and test lines the way the project's test-to-code ratio is measured.

A line counts when it is not blank and not a whole-line comment: `#` in Python, `//` in
C++, where a line starting with `#` is a preprocessor directive and counts as code. Only
git-tracked .py/.pyi/.cpp/.hpp files count: code is src/, training/, bench/, python/,
fuzz/, examples/, stubs/ (the hand-written type stubs) and scripts/*.py; tests are
everything under tests/ and the tools' own test_*.py (training/, scripts/). Build files,
shell scripts and data are left out on both sides.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CPP_SUFFIXES = (".cpp", ".hpp")
SUFFIXES = (".py", ".pyi", *CPP_SUFFIXES)
CODE_DIRS = ("src/", "training/", "bench/", "python/", "fuzz/", "examples/", "stubs/")


def counted_lines(path: Path) -> int:
    comment = "//" if path.suffix in CPP_SUFFIXES else "#"
    n = 0
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        s = line.strip()
        if s and not s.startswith(comment):
            n += 1
    return n


def kind(name: str) -> str | None:
    if not name.endswith(SUFFIXES):
        return None
    if name.startswith("tests/") or Path(name).name.startswith("test_"):
        return "tests"
    if name.startswith(CODE_DIRS):
        return "code"
    if name.startswith("scripts/") and name.count("/") == 1 and name.endswith(".py"):
        return "code"
    return None


def main() -> int:
    names = subprocess.run(
        ["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout.split("\0")
    totals = {"code": 0, "tests": 0}
    for name in names:
        k = kind(name)
        if k is not None and (ROOT / name).is_file():
            totals[k] += counted_lines(ROOT / name)
    ratio = totals["tests"] / totals["code"] if totals["code"] else float("nan")
    print(f"code  {totals['code']}")
    print(f"tests {totals['tests']}")
    print(f"ratio {ratio:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
