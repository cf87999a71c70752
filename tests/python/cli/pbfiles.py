"""Where the test elections are: our own small fixtures and the real files."""

from __future__ import annotations

from pathlib import Path

from datadir import real_file

FIXTURES = Path(__file__).resolve().parent / "fixtures"


def fixture(name: str) -> str:
    return str(FIXTURES / name)


def real(name: str) -> str:
    """Path of a real election file (see datadir.real_file)."""
    return str(real_file(name))
