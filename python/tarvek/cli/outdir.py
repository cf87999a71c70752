"""The output folder (``--output-dir``): one file per counted election."""

from __future__ import annotations

import os

from ..formatting import display_name
from ..results import FileResult
from .render import EXTENSIONS, detail


class OutputDir:
    """Writes each result into ``folder`` as a file named after its election;
    two elections with the same file name get ``_2``, ``_3``, ... appended."""

    def __init__(self, folder: str, fmt: str, reserved: tuple[str, ...] = ()) -> None:
        self.folder = folder
        self.fmt = fmt
        #: Set once writing failed; the command then writes nothing more here.
        self.failed = False
        # ``reserved``: names of files of our own in the folder (an index).
        self._used: set[str] = set(reserved)

    def create(self) -> None:
        os.makedirs(self.folder, exist_ok=True)

    def name_for(self, result: FileResult) -> str:
        """The name (without extension) of the file for ``result``, taken once."""
        stem = os.path.splitext(display_name(result["file"]))[0]
        name, n = stem, 1
        while name in self._used:
            n += 1
            name = f"{stem}_{n}"
        self._used.add(name)
        return name

    def write(self, result: FileResult) -> None:
        path = os.path.join(self.folder, self.name_for(result) + EXTENSIONS[self.fmt])
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(detail(result, self.fmt))
