"""The ``tarvek`` command's arguments: the parser, its help text, and the example election."""

from __future__ import annotations

import argparse
from importlib import metadata
from typing import Any

from .. import pabulib
from ..rules import RULES

DESCRIPTION = """\
Count a participatory-budgeting vote held in a pabulib .pb file with the
Method of Equal Shares (with the Add1 completion unless --rule fixed), and
show the selected projects in the order of selection, with the money spent.
Given several files or a folder, count them in parallel and show one line
per file. `tarvek report FILE -o PAGE.html` writes the explained outcome as a
web page (see `tarvek report --help`)."""

EPILOG = """\
utilities:
  approval votes count 1 per approved project (--approval-utility cost: the
  project's cost); cumulative and scoring votes count their points; choose-1
  votes count 1; ordinal votes need --ordinal borda (of k ranked projects the
  first scores k-1 and the last 0). A voter who gives a project 0 points is
  not one of its supporters.

output:
  one file: the selected projects with cost, running total and votes or
  points, then the budget, the amount spent and the share spent, and, where
  the file records the official outcome (column 'selected'), whether the
  computed outcome agrees with it. Several files: one row per file (with
  JSON, the full result of each); --output-dir writes each file's full result.

time:
  Add1 runs the rule again for every extra unit of money per voter; on a
  large budget in small units this can take minutes. --timeout limits the
  time per file; --rule fixed is fast.

exit status:
  0    every file counted
  1    a count failed: a tie the rule cannot break, or the time limit reached
  2    a file could not be read or counted as it is, the options are wrong,
       or the results could not be written
  130  interrupted (Ctrl-C); with several files, those counted so far are
       shown and already in the --output-dir folder

examples:
  tarvek --example
  tarvek Netherlands_Assen_2024.pb
  tarvek --format json Netherlands_Assen_2024.pb
  tarvek --ties file-order --certify France_Toulouse_2022.pb
  tarvek --example --voter v01 --voter v02
  tarvek --compare Poland_Warszawa_2026.pb
  tarvek report Poland_Warszawa_2026.pb -o report.html
  tarvek report elections/ -o site/
  tarvek --rule fixed --output-dir results/ elections/
  curl -s https://example.org/vote.pb | tarvek -
"""


def _version() -> str:
    try:
        return metadata.version("tarvekbindings")
    except metadata.PackageNotFoundError:
        return "(version unknown: not installed)"


def tie_order(text: str) -> str:
    """The value of --ties, checked: file-order, random or random:SEED."""
    if text == "file-order" or text == "random" or (text.startswith("random:") and text[7:].isdigit()):
        return text
    raise argparse.ArgumentTypeError(f"expected file-order, random or random:SEED (a whole number), not {text!r}")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarvek",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "paths",
        nargs="*",
        metavar="FILE_OR_FOLDER",
        help=".pb files, or folders holding .pb files; - reads standard input",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument(
        "--example", action="store_true", help="count the example election that comes with tarvek"
    )
    add_count_options(parser)
    out = parser.add_mutually_exclusive_group()
    out.add_argument(
        "--format", choices=("table", "json", "csv"), default="table", help="output format (default table)"
    )
    out.add_argument("--json", dest="format", action="store_const", const="json", help="same as --format json")
    out.add_argument("--csv", dest="format", action="store_const", const="csv", help="same as --format csv")
    parser.add_argument(
        "-o",
        "--output-dir",
        metavar="DIR",
        help="also write the full result of every file into DIR (one file per election)",
    )
    parser.add_argument(
        "-j", "--jobs", type=int, default=None, metavar="N", help="worker processes for several files (default: CPUs)"
    )
    parser.add_argument(
        "--timeout",
        type=float,
        default=None,
        metavar="SECONDS",
        help="give up on a file whose count takes longer (reported as a timeout; exit status 1)",
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="count on an existing Dask cluster, e.g. tcp://10.0.0.5:8786 (needs: pip install 'tarvekbindings[dask]'; "
        "the workers need tarvek installed, not the files); -j then limits the files in flight "
        "(default: the cluster's threads)",
    )
    parser.add_argument(
        "--voter",
        dest="voter_ids",
        action="append",
        metavar="ID",
        help="also show what the voter ID paid for which project in the explained run, and the money it had "
        "left (repeatable; in the table of one file and in JSON)",
    )
    parser.add_argument(
        "--compare",
        action="store_true",
        help="also put the outcome beside greedy by votes and the recorded outcome: the projects each funds, "
        "what each spends, and the share of voters with a funded project, in all and by voter group",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
    return parser


def count_options(args: argparse.Namespace) -> dict[str, Any]:
    """The options of how to count (see add_count_options), as count_file takes them."""
    return {
        "rule": args.rule,
        "approval_utility": args.approval_utility,
        "ordinal_scoring": args.ordinal,
        "duplicates": args.duplicates,
        "ties": args.ties,
        "certify": args.certify,
    }


def check_run_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Refuse a number of workers or a time limit that cannot be meant."""
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.timeout is not None and not args.timeout > 0:
        parser.error("--timeout must be a positive number of seconds")


def add_count_options(parser: argparse.ArgumentParser) -> None:
    """The options of how to count, shared by the command and its report."""
    parser.add_argument(
        "--rule",
        choices=sorted(RULES),
        default="add1",
        help="add1: equal shares completed with Add1 (default); fixed: the fixed-budget rule alone (faster)",
    )
    parser.add_argument(
        "--approval-utility",
        choices=pabulib.APPROVAL_UTILITIES,
        default="one",
        help="utility of an approval: 1 (default) or the project's cost",
    )
    parser.add_argument(
        "--ordinal",
        choices=pabulib.ORDINAL_SCORINGS,
        default=None,
        help="count ordinal (ranked) votes with this scoring; without it they are refused",
    )
    parser.add_argument(
        "--duplicates",
        choices=pabulib.DUPLICATE_APPROVALS,
        default="refuse",
        help="a voter who lists the same project twice: refuse the file (default), or count the approval "
        "once, with a warning (approval and choose-1 votes only)",
    )
    parser.add_argument(
        "--ties",
        type=tie_order,
        default=None,
        metavar="file-order|random[:SEED]",
        help="break a tie that survives cost and total utility (by default the count stops with an error): "
        "file-order prefers the project listed first in the file; random:SEED a random order drawn from "
        "SEED (random alone draws a seed and reports it). Every tie broken is reported",
    )
    parser.add_argument(
        "--certify",
        action="store_true",
        help="recount the run that selected the outcome in exact rational arithmetic and say whether the "
        "outcome stands, or from which selection on it would differ",
    )


REPORT_DESCRIPTION = """\
Count one pabulib .pb file and write the outcome, explained, as one
self-contained HTML page (no network, no script): the budget spent, equal
shares beside greedy by votes and the recorded outcome (the projects each
funds, and what each gives the voters, in all and by voter group), the
selected projects with their effective votes and what their supporters paid,
the projects left out with their supporters' money against their cost, and
charts of it. Given a folder, count its .pb files in parallel and write a
page per election and an index page (index.html) that links to them."""


def build_report_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarvek report",
        description=REPORT_DESCRIPTION,
        epilog="examples:\n  tarvek report Poland_Warszawa_2026.pb -o report.html\n"
        "  tarvek report elections/ -o site/",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", metavar="FILE_OR_FOLDER", help="the .pb file, or a folder of .pb files")
    parser.add_argument(
        "-o",
        "--output",
        metavar="HTML_OR_FOLDER",
        help="the page to write (default: the file's name with .html, here); for a folder, the folder to write "
        "the pages and index.html into (default: the folder's name with -report, here)",
    )
    add_count_options(parser)
    parser.add_argument(
        "-j", "--jobs", type=int, default=None, metavar="N", help="worker processes for a folder (default: CPUs)"
    )
    parser.add_argument(
        "--timeout", type=float, default=None, metavar="SECONDS", help="give up on a file whose count takes longer"
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
    return parser
