"""Fixtures for the tests of the tarvek reader and command."""

from __future__ import annotations

import pytest

from datadir import missing


@pytest.fixture
def engine():
    """The compiled engine; tests that count need it."""
    try:
        import tarvekbindings
    except ImportError:
        missing("the compiled module tarvekbindings", "pip install .")
    return tarvekbindings


@pytest.fixture
def run(capsys, engine):
    """Run the command in this process: returns (exit status, stdout, stderr)."""
    from tarvek.cli import main

    def call(*argv: str) -> tuple[int, str, str]:
        try:
            status = main(list(argv))
        except SystemExit as e:  # argparse usage errors
            status = e.code
        out, err = capsys.readouterr()
        return status, out, err

    return call
