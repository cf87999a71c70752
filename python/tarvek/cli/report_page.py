"""``tarvek report FILE -o PAGE.html``: count one file and write its report page."""

from __future__ import annotations

import os
import sys
from pathlib import Path

from .. import batch
from ..count import EXIT_INPUT, EXIT_STATUS
from .args import build_report_parser


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
            compare=True,
        )
    except KeyboardInterrupt:
        print("tarvek: interrupted", file=sys.stderr)
        return 130
    for warning in result.get("warnings") or []:
        print(f"tarvek: warning: {warning}", file=sys.stderr)
    if result["status"] != "ok":
        print(f"tarvek: {result['error']['message']}", file=sys.stderr)
        return EXIT_STATUS[result["status"]]

    from ..report import page

    try:
        with open(output, "w", encoding="utf-8") as f:
            f.write(page(result))
    except OSError as e:
        print(f"tarvek: cannot write {output}: {e.strerror or e}", file=sys.stderr)
        return EXIT_INPUT
    print(f"tarvek: wrote {os.fspath(output)}", file=sys.stderr)
    return 0
