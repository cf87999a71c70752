"""The ``tarvek`` command, split by job: ``args`` (the parser), ``command``
(what a run does), ``progress`` (the progress line), ``render`` (table, JSON
and CSV) and ``outdir`` (the output folder). Batch counting itself lives in
:mod:`tarvek.batch`."""

from .command import main

__all__ = ["main"]
