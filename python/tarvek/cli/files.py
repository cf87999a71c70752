"""The files a run counts: those given, and the .pb files in the folders given."""

from __future__ import annotations

import os


def expand(paths: list[str]) -> tuple[list[str], set[str]]:
    """The files to count, in the order given (folders searched for .pb files,
    recursively), and those of them that do not exist."""
    files: list[str] = []
    missing: set[str] = set()
    for path in paths:
        if os.path.isdir(path):
            found = []
            for root, dirs, names in os.walk(path):
                dirs.sort()
                found += [os.path.join(root, n) for n in sorted(names) if n.lower().endswith(".pb")]
            files += found
        else:
            files.append(path)
            if not os.path.exists(path):
                missing.add(path)
    return files, missing
