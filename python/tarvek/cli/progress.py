"""The progress line of a run over several files, on stderr."""

from __future__ import annotations

import sys
import time

from ..formatting import display_name
from ..results import FileResult


class Progress:
    """Rewritten in place on a terminal, one line per finished file otherwise."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.enabled = enabled
        self.done = 0
        self.failed = 0
        self.started = time.monotonic()
        self.tty = sys.stderr.isatty()
        self.last = ""
        self.dirty = False

    def _head(self) -> str:
        return (
            f"tarvek: {self.done}/{self.total} files counted, {self.failed} failed, "
            f"{time.monotonic() - self.started:.0f} s"
        )

    def finished(self, result: FileResult) -> None:
        self.done += 1
        self.failed += result["status"] != "ok"
        self.last = display_name(result["file"])
        if self.enabled and not self.tty and self.total > 1:
            print(f"{self._head()}; last: {self.last}", file=sys.stderr, flush=True)

    def show(self, running: list[str]) -> None:
        if not (self.enabled and self.tty) or time.monotonic() - self.started < 1.0:
            return
        line = self._head()
        if running:
            names = ", ".join(display_name(f) for f in running[:2]) + (", ..." if len(running) > 2 else "")
            line += f"; counting {names}"
        print("\r\033[K" + line[:200], end="", file=sys.stderr, flush=True)
        self.dirty = True

    def close(self) -> None:
        if self.enabled and self.tty and self.dirty:
            print("\r\033[K" + self._head(), file=sys.stderr, flush=True)
            self.dirty = False
