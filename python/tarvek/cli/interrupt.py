"""Termination of the command ends a run as Ctrl-C does."""

from __future__ import annotations

from typing import Any


def terminated(signum: int, frame: Any) -> None:
    """SIGTERM handler: stop as Ctrl-C does (the workers too)."""
    raise KeyboardInterrupt
