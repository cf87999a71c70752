"""The ``tarvek`` command: count participatory-budgeting votes held in pabulib ``.pb`` files."""

from __future__ import annotations

import argparse
import concurrent.futures
import concurrent.futures.process
import csv
import io
import json
import os
import signal
import sys
import time
from importlib import resources
from typing import Any, TextIO

from . import pabulib
from .count import EXIT_INPUT, EXIT_OK, EXIT_STATUS, RULES, count_file, display_name

DESCRIPTION = """\
Count a participatory-budgeting vote held in a pabulib .pb file with the
Method of Equal Shares (with the Add1 completion unless --rule fixed), and
show the selected projects in the order of selection, with the money spent.
Given several files or a folder, count them in parallel and show one line
per file."""

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
  0  every file counted
  1  a count failed: a tie the rule cannot break, or the time limit reached
  2  a file could not be read or counted as it is, or the options are wrong

examples:
  tarvek --example
  tarvek Netherlands_Assen_2024.pb
  tarvek --format json Netherlands_Assen_2024.pb
  tarvek --rule fixed --output-dir results/ elections/
"""

EXAMPLE = "example.pb"


def example_path() -> str:
    """Path of the example election shipped with the package."""
    return str(resources.files("tarvek").joinpath("data", EXAMPLE))


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarvek",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("paths", nargs="*", metavar="FILE_OR_FOLDER", help=".pb files, or folders holding .pb files")
    parser.add_argument(
        "--example", action="store_true", help="count the example election that comes with tarvek"
    )
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
    out = parser.add_mutually_exclusive_group()
    out.add_argument("--format", choices=("table", "json", "csv"), default="table", help="output format (default table)")
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
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # Being terminated stops the workers too, as Ctrl-C does.
    previous = signal.signal(signal.SIGTERM, _terminated)
    try:
        return _run(parser, args)
    except KeyboardInterrupt:
        print("tarvek: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (e.g. `tarvek ... | head`);
        # what is left unwritten goes nowhere, without a second error at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.timeout is not None and not args.timeout > 0:
        parser.error("--timeout must be a positive number of seconds")
    paths = list(args.paths)
    if args.example:
        paths.insert(0, example_path())
    if not paths:
        parser.error("give a .pb file or a folder (or --example to count the example election)")
    options = {"rule": args.rule, "approval_utility": args.approval_utility, "ordinal_scoring": args.ordinal}

    files, missing = _expand(paths)
    single = len(paths) == 1 and not os.path.isdir(paths[0])
    if single:
        [result] = _count_all(paths, options, 1, progress=not args.quiet, timeout=args.timeout)
        _write(sys.stdout, [result], args.format, detailed=True)
        if result["status"] == "ok" and args.format == "table":
            for warning in result.get("warnings", []):
                print(f"tarvek: warning: {display_name(result['file'])}: {warning}", file=sys.stderr)
        if args.output_dir and not _write_each(args.output_dir, [result], args.format):
            return EXIT_INPUT
        return EXIT_STATUS[result["status"]]

    if not files:
        print("tarvek: no .pb files found in " + ", ".join(paths), file=sys.stderr)
        return EXIT_INPUT
    existing = [f for f in files if f not in missing]
    counted = iter(_count_all(existing, options, args.jobs, progress=not args.quiet, timeout=args.timeout))
    results = [_missing(f) if f in missing else next(counted) for f in files]
    _write(sys.stdout, results, args.format, detailed=False)
    if args.output_dir and not _write_each(args.output_dir, results, args.format):
        return EXIT_INPUT
    return max((EXIT_STATUS[r["status"]] for r in results), default=EXIT_OK)


def _expand(paths: list[str]) -> tuple[list[str], set[str]]:
    """The files to count, in the order given (folders searched for .pb files,
    recursively), and those of them that do not exist."""
    files: list[str] = []
    missing: set[str] = set()
    for path in paths:
        if os.path.isdir(path):
            found = []
            for root, dirs, names in os.walk(path):
                dirs.sort()
                found += [os.path.join(root, n) for n in sorted(names) if n.lower().endswith(".pb")]
            files += found
        else:
            files.append(path)
            if not os.path.exists(path):
                missing.add(path)
    return files, missing


def _missing(path: str) -> dict[str, Any]:
    return _failure(path, "input error", "no such file or folder")


def _count_all(
    files: list[str],
    options: dict[str, Any],
    jobs: int | None,
    progress: bool,
    timeout: float | None = None,
) -> list[dict[str, Any]]:
    """Count ``files`` in worker processes; results in the order of ``files``.

    The counting runs in workers even for a single file: the engine does not
    look at signals during a count, so Ctrl-C is handled here, and stops the
    workers outright. A file still being counted after ``timeout`` seconds is
    reported as such; its worker is stopped and the other files go on.
    """
    results: list[dict[str, Any] | None] = [None] * len(files)
    # The largest files go first, so that they do not hold up the end.
    queue = sorted(range(len(files)), key=lambda i: -_size(files[i]))
    workers = min(jobs or os.cpu_count() or 1, len(files)) or 1
    meter = _Progress(len(files), enabled=progress)
    while queue:
        pool = concurrent.futures.ProcessPoolExecutor(max_workers=workers, initializer=_worker_signals)
        try:
            rest = _count_some(pool, workers, queue, files, results, options, meter, timeout)
        except BaseException:
            meter.close()
            _stop(pool)
            raise
        if rest is None:
            pool.shutdown()
            break
        # A count timed out: its worker is stopped with the pool, and the
        # files still to count go to a fresh pool.
        _stop(pool)
        queue = rest
    meter.close()
    return [r for r in results if r is not None]


def _count_some(
    pool: concurrent.futures.ProcessPoolExecutor,
    workers: int,
    queue: list[int],
    files: list[str],
    results: list[dict[str, Any] | None],
    options: dict[str, Any],
    meter: _Progress,
    timeout: float | None,
) -> list[int] | None:
    """Count the files of ``queue`` with ``pool``. Returns None when all are
    counted; when a count timed out, the files still to count (the pool must
    then be stopped)."""
    queue = list(queue)
    # No more files in flight than workers, so that a submitted file is being
    # counted and its time is measured from its submission.
    running: dict[concurrent.futures.Future[dict[str, Any]], tuple[int, float]] = {}
    while queue or running:
        while queue and len(running) < workers:
            i = queue.pop(0)
            running[pool.submit(count_file, files[i], **options)] = (i, time.monotonic())
        done, _ = concurrent.futures.wait(running, timeout=1.0, return_when=concurrent.futures.FIRST_COMPLETED)
        for future in done:
            i, _started = running.pop(future)
            try:
                result = future.result()
            except concurrent.futures.process.BrokenProcessPool:
                result = _failure(files[i], "error", "the worker process died (out of memory?)")
            except Exception as e:
                result = _failure(files[i], "error", f"the count failed unexpectedly ({type(e).__name__}: {e})")
            results[i] = result
            meter.finished(result)
        now = time.monotonic()
        if timeout is not None:
            expired = [f for f, (_, started) in running.items() if now - started > timeout]
            if expired:
                for future in expired:
                    i, _started = running.pop(future)
                    result = _failure(
                        files[i],
                        "timeout",
                        f"not counted within {timeout:g} s and stopped; "
                        "the fixed-budget rule alone (--rule fixed) is much faster",
                    )
                    results[i] = result
                    meter.finished(result)
                # The others in flight start again in a fresh pool.
                return [i for i, _ in running.values()] + queue
        meter.show([files[i] for i, _ in running.values()])
    return None


def _worker_signals() -> None:
    """Signals in a worker: Ctrl-C is left to the main process, which stops
    the workers itself, and a plain termination ends a worker at once."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _terminated(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def _stop(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    """Shut ``pool`` down without waiting for counts in progress."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(5)


def _failure(path: str, status: str, reason: str) -> dict[str, Any]:
    return {"file": path, "status": status, "error": {"message": f"{path}: {reason}"}}


class _Progress:
    """The progress line on stderr: rewritten in place on a terminal, one line
    per finished file otherwise."""

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

    def finished(self, result: dict[str, Any]) -> None:
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


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


# ---------------------------------------------------------------------------
# Output


def _write(out: TextIO, results: list[dict[str, Any]], fmt: str, detailed: bool) -> None:
    if fmt == "json":
        data: Any = results[0] if detailed else results
        out.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    elif fmt == "csv":
        out.write(detail_csv(results[0]) if detailed else summary_csv(results))
    elif detailed:
        result = results[0]
        if result["status"] == "ok":
            out.write(detail_table(result))
        else:
            # Errors go to stderr so that a pipe never takes them for a result.
            print(f"tarvek: {result['error']['message']}", file=sys.stderr)
    else:
        out.write(summary_table(results))


def _write_each(folder: str, results: list[dict[str, Any]], fmt: str) -> bool:
    """Write each result into ``folder``; False (with a message) when that fails."""
    try:
        _write_files(folder, results, fmt)
    except OSError as e:
        print(f"tarvek: cannot write the results into {folder}: {e.strerror or e}", file=sys.stderr)
        return False
    return True


def _write_files(folder: str, results: list[dict[str, Any]], fmt: str) -> None:
    os.makedirs(folder, exist_ok=True)
    extension = {"table": ".txt", "json": ".json", "csv": ".csv"}[fmt]
    used: set[str] = set()
    for result in results:
        stem = os.path.splitext(display_name(result["file"]))[0]
        name, n = stem, 1
        while name in used:
            n += 1
            name = f"{stem}_{n}"
        used.add(name)
        with open(os.path.join(folder, name + extension), "w", encoding="utf-8", newline="") as f:
            if fmt == "json":
                f.write(json.dumps(result, indent=2, ensure_ascii=False) + "\n")
            elif fmt == "csv":
                f.write(detail_csv(result))
            elif result["status"] == "ok":
                f.write(detail_table(result))
            else:
                f.write(f"{result['error']['message']}\n")


def money(value: float | None) -> str:
    if value is None:
        return "-"
    if value == int(value):
        return f"{int(value):,}"
    return f"{value:,.2f}"


def percent(share: float | None) -> str:
    return "-" if share is None else f"{100 * share:.2f} %"


def _clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 1] + "…"


def _table(headers: list[str], rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]

    def fmt(cells: list[str]) -> str:
        parts = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))]
        return "  ".join(parts).rstrip()

    return [fmt(headers), fmt(["-" * w for w in widths]), *(fmt(r) for r in rows)]


def detail_table(result: dict[str, Any]) -> str:
    """The readable report of one counted file."""
    lines = []
    if result.get("description"):
        lines.append(result["description"])
    lines.append(f"File:       {display_name(result['file'])}")
    lines.append(f"Election:   {result['voters']:,} voters, {result['projects']} projects, {result['vote_type']} votes")
    lines.append(f"Utilities:  {result['utilities']}")
    lines.append(f"Rule:       {RULES[result['rule']]}")
    lines.append("")
    label = result["points_label"]
    key = "points" if label == "points" else "supporters"
    has_names = any(row["name"] for row in result["selected"])
    headers = ["rank", "project"] + (["name"] if has_names else []) + ["cost", "running total", label]
    rows = []
    for row in result["selected"]:
        cells = [str(row["rank"]), row["project_id"]]
        if has_names:
            cells.append(_clip(row["name"] or "", 40))
        cells += [money(row["cost"]), money(row["running_total"]), f"{row[key]:,}"]
        rows.append(cells)
    n = len(headers)
    if rows:
        lines += _table(headers, rows, right={0, n - 3, n - 2, n - 1})
    else:
        lines.append("No project is selected.")
    lines.append("")
    lines.append(f"Budget:       {money(result['budget'])}")
    lines.append(f"Spent:        {money(result['spent'])} on {len(result['selected'])} projects")
    lines.append(f"Share spent:  {percent(result['share_spent'])}")
    lines.append(f"Left:         {money(result['left'])}")
    recorded = result.get("recorded")
    if recorded is not None:
        lines.append("")
        rule = f", rule '{result['recorded_rule']}'" if result.get("recorded_rule") else ""
        head = f"Recorded outcome (column 'selected'{rule}: {recorded['count']} projects, {money(recorded['cost'])}):"
        if recorded["agrees"]:
            lines.append(f"{head} the computed outcome agrees with it.")
        else:
            lines.append(f"{head} the computed outcome differs.")
            for title, key in (
                ("  Selected here, not recorded:", "computed_only"),
                ("  Recorded, not selected here:", "recorded_only"),
            ):
                if recorded[key]:
                    lines.append(title)
                    for p in recorded[key]:
                        named = f" {p['name']}" if p["name"] else ""
                        lines.append(f"    {p['project_id']}{named} ({money(p['cost'])})")
    return "\n".join(lines) + "\n"


SUMMARY_COLUMNS = [
    "file",
    "status",
    "vote_type",
    "voters",
    "projects",
    "selected",
    "spent",
    "budget",
    "share_spent",
    "agrees_with_recorded",
    "seconds",
    "error",
]


def summary_row(result: dict[str, Any]) -> dict[str, Any]:
    recorded = result.get("recorded")
    selected = result.get("selected")
    return {
        "file": result["file"],
        "status": result["status"],
        "vote_type": result.get("vote_type"),
        "voters": result.get("voters"),
        "projects": result.get("projects"),
        "selected": len(selected) if selected is not None else None,
        "spent": result.get("spent"),
        "budget": result.get("budget"),
        "share_spent": result.get("share_spent"),
        "agrees_with_recorded": None if recorded is None else recorded["agrees"],
        "seconds": round(result["seconds"], 3) if "seconds" in result else None,
        "error": result["error"]["message"] if result.get("error") else None,
    }


def summary_table(results: list[dict[str, Any]]) -> str:
    headers = ["file", "status", "type", "voters", "selected", "spent", "budget", "spent %", "recorded"]
    rows = []
    errors = []
    for result in results:
        r = summary_row(result)
        if r["status"] != "ok":
            rows.append([_clip(display_name(r["file"]), 48), r["status"].upper()] + [""] * 7)
            errors.append(r["error"])
            continue
        agrees = r["agrees_with_recorded"]
        rows.append(
            [
                _clip(display_name(r["file"]), 48),
                "ok",
                r["vote_type"],
                f"{r['voters']:,}",
                f"{r['selected']}/{r['projects']}",
                money(r["spent"]),
                money(r["budget"]),
                percent(r["share_spent"]),
                "-" if agrees is None else ("agrees" if agrees else "differs"),
            ]
        )
    lines = _table(headers, rows, right={3, 4, 5, 6, 7})
    ok = sum(1 for r in results if r["status"] == "ok")
    lines.append("")
    lines.append(f"{ok} of {len(results)} files counted.")
    if errors:
        lines.append("Errors:")
        lines += [f"  {e}" for e in errors]
    return "\n".join(lines) + "\n"


def summary_csv(results: list[dict[str, Any]]) -> str:
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, fieldnames=SUMMARY_COLUMNS, lineterminator="\n")
    writer.writeheader()
    for result in results:
        writer.writerow(summary_row(result))
    return buffer.getvalue()


DETAIL_COLUMNS = ["rank", "project_id", "name", "cost", "running_total", "supporters", "points"]


def detail_csv(result: dict[str, Any]) -> str:
    """The selected projects, one row each. A failed count gives the header and
    no rows (its message goes to stderr)."""
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, fieldnames=DETAIL_COLUMNS, lineterminator="\n")
    writer.writeheader()
    if result["status"] == "ok":
        for row in result["selected"]:
            writer.writerow({k: ("" if row[k] is None else row[k]) for k in DETAIL_COLUMNS})
    else:
        print(f"tarvek: {result['error']['message']}", file=sys.stderr)
    return buffer.getvalue()
