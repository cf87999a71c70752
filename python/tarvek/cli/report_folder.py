"""``tarvek report FOLDER -o SITE/``: a report page per election and an index.

The files are counted in parallel as the folder count does, with the
progress line on stderr. Each page is written as soon as its count is done,
so that Ctrl-C keeps the pages written so far; the index is then written
with the elections counted by then, and the others marked as not counted.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import Any

from .. import batch
from ..results import FileResult, failure
from .exit_status import EXIT_INPUT, EXIT_INTERRUPTED, EXIT_OK, EXIT_STATUS
from .interrupt import terminated
from .outdir import OutputDir
from .progress import Progress

INDEX = "index"


def write_site(files: list[str], site: str, options: dict[str, Any], args: argparse.Namespace) -> int:
    """Write the pages of ``files`` and the index into ``site``."""
    from .html_page import page
    from .report_index import index_page

    names = OutputDir(site, "html", reserved=(INDEX,))
    try:
        os.makedirs(site, exist_ok=True)
    except OSError as e:
        print(f"tarvek: cannot write into {site}: {e.strerror or e}", file=sys.stderr)
        return EXIT_INPUT
    done: dict[int, tuple[FileResult, str | None]] = {}
    meter = Progress(len(files), enabled=not args.quiet)
    interrupted = False
    previous = signal.signal(signal.SIGTERM, terminated)
    try:
        for i, result in batch.counts(
            files,
            None,
            jobs=args.jobs,
            timeout=args.timeout,
            waiting=lambda running: meter.show([files[i] for i in running]),
            compare=True,
            **options,
        ):
            name = None
            if result["status"] == "ok":
                name = names.name_for(result) + ".html"
                _write(os.path.join(site, name), page(result))
            done[i] = (result, name)
            meter.finished(result)
    except KeyboardInterrupt:
        interrupted = True
    except OSError as e:
        print(f"tarvek: cannot write into {site}: {e.strerror or e}", file=sys.stderr)
        return EXIT_INPUT
    finally:
        meter.close()
        signal.signal(signal.SIGTERM, previous)
    rows = [
        done.get(i) or (failure(path, "interrupted", "not counted (interrupted)"), None)
        for i, path in enumerate(files)
    ]
    title = f"Report: {os.path.basename(os.path.normpath(args.path)) or args.path}"
    note = f"Interrupted: {len(done)} of {len(files)} files counted." if interrupted else ""
    index = os.path.join(site, INDEX + ".html")
    try:
        _write(index, index_page(rows, title, note))
    except OSError as e:
        print(f"tarvek: cannot write {index}: {e.strerror or e}", file=sys.stderr)
        return EXIT_INPUT
    if interrupted:
        print(f"tarvek: interrupted; {len(done)} of {len(files)} files counted; wrote {index}", file=sys.stderr)
        return EXIT_INTERRUPTED
    print(f"tarvek: wrote {index} and {sum(1 for _, n in rows if n)} pages", file=sys.stderr)
    return max((EXIT_STATUS.get(r["status"], 1) for r, _ in rows), default=EXIT_OK)


def _write(path: str, text: str) -> None:
    """Write ``text`` whole or not at all: Ctrl-C in the middle of a page
    leaves no half page behind."""
    part = path + ".part"
    try:
        with open(part, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(part, path)
    finally:
        if os.path.exists(part):
            os.remove(part)
