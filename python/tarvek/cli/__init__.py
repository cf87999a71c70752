"""The ``tarvek`` command, split by job: ``args`` (the parsers), ``command``
(what a run does), ``report_command`` (``tarvek report``), ``html_page``
(the HTML page it writes), ``render`` (table, JSON and CSV), ``progress``
(the progress line), ``outdir`` (the output folder), ``exit_status`` and
``cluster`` (a Dask scheduler). Batch counting itself lives in
:mod:`tarvek.batch`; every module here reads results typed in
:mod:`tarvek.results`."""

from .command import main

__all__ = ["main"]
