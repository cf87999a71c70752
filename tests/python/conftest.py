"""Shared fixtures of the extension module's tests: the module itself, a small
election, and the real elections of the shared Pabulib directory."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from datadir import real_file  # noqa: E402


def pytest_collection_modifyitems(config, items):
    if sys.implementation.name == "cpython":
        return
    skip = pytest.mark.skip(reason=f"holds on CPython only, not on {sys.implementation.name}")
    for item in items:
        if item.get_closest_marker("cpython_only"):
            item.add_marker(skip)


@pytest.fixture(scope="session")
def tb():
    """The installed extension module."""
    import tarvekbindings

    return tarvekbindings


@pytest.fixture
def small_election():
    """Two voters with 5.0 each. The rule selects only B (A costs more than its
    one supporter holds); the completion reaches A at the trial budget 12.0,
    where A and B tie at count 1 and the cheaper B goes first."""
    return (
        ["x", "y"],
        ["A", "B"],
        {"A": 6.0, "B": 4.0},
        {"A": [("x", 1)], "B": [("y", 1)]},
        {"A": 1, "B": 1},
        10.0,
    )


@pytest.fixture(scope="session")
def pabulib():
    """Reads a file of the shared Pabulib directory by name into a
    tarvek.pabulib.Election; skips when the file is not there."""
    from tarvek import pabulib as reader

    def load(name: str):
        return reader.load(real_file(name))

    return load
