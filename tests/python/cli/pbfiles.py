"""Where the test elections are: our own small fixtures and the real files."""

from __future__ import annotations

from pathlib import Path

import pytest

FIXTURES = Path(__file__).resolve().parent / "fixtures"
PABULIB = Path("/work/shared/data/pabulib")


def fixture(name: str) -> str:
    return str(FIXTURES / name)


def real(name: str) -> str:
    """Path of a real election file; the test is skipped where it is missing."""
    path = PABULIB / name
    if not path.is_file():
        pytest.skip(f"real election file {path} not available")
    return str(path)
