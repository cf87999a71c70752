"""The folder of real pabulib election files used by the tests, and what a
test does when something it needs is missing."""

from __future__ import annotations

import os
from pathlib import Path
from typing import NoReturn

import pytest

ROOT = Path(__file__).resolve().parents[2]

#: TARVEK_PABULIB_DIR, or ../shared/data/pabulib beside the repository.
PABULIB_DIR = Path(os.environ.get("TARVEK_PABULIB_DIR") or ROOT.parent / "shared" / "data" / "pabulib")


def real_file(name: str) -> Path:
    """Path of a real election file (see :func:`missing`)."""
    path = PABULIB_DIR / name
    if not path.is_file():
        missing(f"real election file {path}")
    return path


def real_folder() -> Path:
    """The folder of real election files (see :func:`missing`)."""
    if not PABULIB_DIR.is_dir():
        missing(f"folder of real election files {PABULIB_DIR}")
    return PABULIB_DIR


def missing(what: str, hint: str = "set TARVEK_PABULIB_DIR", *, module: bool = False) -> NoReturn:
    """Skips the test (with `module`, the whole test module), except in CI
    (CI=true), where anything a test needs and misses is a failure: a suite
    that quietly skips its real elections, its browser or its fuzzing must not
    pass there."""
    message = f"{what} not available ({hint})"
    if os.environ.get("CI") == "true":
        pytest.fail(message)
    pytest.skip(message, allow_module_level=module)
