"""``tarvek report FILE -o PAGE.html``: count one file and write its report page."""

from __future__ import annotations

import os
import sys
from pathlib import Path

from .. import batch
from ..results import error_message
from .args import build_report_parser
from .exit_status import EXIT_INPUT, EXIT_INTERRUPTED, EXIT_STATUS
from .html_page import page


def report_main(argv: list[str]) -> int:
    parser = build_report_parser()
    args = parser.parse_args(argv)
    output = args.output or Path(args.path).with_suffix(".html").name
    try:
        # In a worker process, like every count of the command, so that
        # Ctrl-C stops it.
        [result] = batch.count_many(
            [args.path],
            jobs=1,
            rule=args.rule,
            approval_utility=args.approval_utility,
            ordinal_scoring=args.ordinal,
            duplicates=args.duplicates,
            ties=args.ties,
            certify=args.certify,
        )
    except KeyboardInterrupt:
        print("tarvek: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    for warning in result.get("warnings") or []:
        print(f"tarvek: warning: {warning}", file=sys.stderr)
    if result["status"] != "ok":
        print(f"tarvek: {error_message(result)}", file=sys.stderr)
        return EXIT_STATUS[result["status"]]

    try:
        with open(output, "w", encoding="utf-8") as f:
            f.write(page(result))
    except OSError as e:
        print(f"tarvek: cannot write {output}: {e.strerror or e}", file=sys.stderr)
        return EXIT_INPUT
    print(f"tarvek: wrote {os.fspath(output)}", file=sys.stderr)
    return 0
