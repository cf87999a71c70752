"""The ``tarvek`` command: count participatory-budgeting votes held in pabulib ``.pb`` files."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import Any

from .. import batch
from ..count import EXIT_INPUT, EXIT_OK, EXIT_STATUS, display_name
from .args import build_parser, example_path
from .outdir import OutputDir
from .progress import Progress
from .render import write


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


def _terminated(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


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
    options = {
        "rule": args.rule,
        "approval_utility": args.approval_utility,
        "ordinal_scoring": args.ordinal,
        "duplicates": args.duplicates,
    }

    files, missing = _expand(paths)
    single = len(paths) == 1 and not os.path.isdir(paths[0])
    if single:
        [result] = _count(paths, options, args, jobs=1)
        write(sys.stdout, [result], args.format, detailed=True)
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
    counted = iter(_count(existing, options, args, jobs=args.jobs))
    results = [_missing(f) if f in missing else next(counted) for f in files]
    write(sys.stdout, results, args.format, detailed=False)
    if args.output_dir and not _write_each(args.output_dir, results, args.format):
        return EXIT_INPUT
    return max((EXIT_STATUS[r["status"]] for r in results), default=EXIT_OK)


def _count(files: list[str], options: dict[str, Any], args: argparse.Namespace, jobs: int | None) -> list[dict[str, Any]]:
    """Count ``files`` with the progress line; results in the order of ``files``."""
    results: list[dict[str, Any] | None] = [None] * len(files)
    meter = Progress(len(files), enabled=not args.quiet)
    try:
        for i, result in batch.counts(
            files,
            jobs=jobs,
            timeout=args.timeout,
            waiting=lambda running: meter.show([files[i] for i in running]),
            **options,
        ):
            results[i] = result
            meter.finished(result)
    finally:
        meter.close()
    return [r for r in results if r is not None]


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
    return batch.failure(path, "input error", "no such file or folder")


def _write_each(folder: str, results: list[dict[str, Any]], fmt: str) -> bool:
    """Write each result into ``folder``; False (with a message) when that fails."""
    out = OutputDir(folder, fmt)
    try:
        out.create()
        for result in results:
            out.write(result)
    except OSError as e:
        print(f"tarvek: cannot write the results into {folder}: {e.strerror or e}", file=sys.stderr)
        return False
    return True
