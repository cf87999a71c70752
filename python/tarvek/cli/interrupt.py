"""Ctrl-C and termination in the command: both end a run the same way."""

from __future__ import annotations

from typing import Any

#: Exit status after Ctrl-C (128 + SIGINT), as shells report it.
EXIT_INTERRUPTED = 130


def terminated(signum: int, frame: Any) -> None:
    """SIGTERM handler: stop as Ctrl-C does (the workers too)."""
    raise KeyboardInterrupt
