"""The ``tarvek`` command: count participatory-budgeting votes held in pabulib ``.pb`` files."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import Any

from .. import batch, example_path
from ..results import FileResult, failure
from . import cluster
from .args import build_parser, check_run_options, count_options
from .exit_status import EXIT_INPUT, EXIT_INTERRUPTED, EXIT_OK, EXIT_STATUS
from .files import expand
from .interrupt import terminated
from .outdir import OutputDir
from .progress import Progress
from .render import notes, write

#: The name of standard input, given as the file "-", in messages and results.
STDIN_NAME = "<stdin>"


class OutputError(Exception):
    """Standard output could not be written (a full disk, /dev/full, ...)."""


def main(argv: list[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv[:1] == ["report"]:  # a file named "report" is counted as ./report
        from .report_command import report_main

        return report_main(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    # Being terminated stops the workers too, as Ctrl-C does.
    previous = signal.signal(signal.SIGTERM, terminated)
    try:
        return _run(parser, args)
    except KeyboardInterrupt:
        print("tarvek: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (e.g. `tarvek ... | head`);
        # what is left unwritten goes nowhere, without a second error at exit.
        _discard_stdout()
        return 1
    except OutputError as e:
        print(f"tarvek: cannot write the output: {e}", file=sys.stderr)
        _discard_stdout()
        return EXIT_INPUT
    finally:
        signal.signal(signal.SIGTERM, previous)


def _discard_stdout() -> None:
    """Send what is left in stdout's buffer nowhere, so that the interpreter
    does not fail again when it flushes stdout at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _show(results: list[FileResult], fmt: str, detailed: bool) -> None:
    """The results on stdout, their errors and warnings on stderr."""
    try:
        write(sys.stdout, results, fmt, detailed)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise OutputError(e.strerror or str(e)) from None
    for line in notes(results, fmt):
        print(line, file=sys.stderr)


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    check_run_options(parser, args)
    paths = list(args.paths)
    if args.example:
        paths.insert(0, example_path())
    if not paths:
        parser.error("give a .pb file or a folder (or --example to count the example election)")
    if "-" in paths and len(paths) > 1:
        parser.error("standard input ('-') can only be counted on its own")
    options: dict[str, Any] = {
        **count_options(args),
        "voter_ids": args.voter_ids,
        "compare": args.compare,
    }
    out = OutputDir(args.output_dir, args.format) if args.output_dir else None
    if args.scheduler:
        with cluster.connect(parser, args.scheduler) as (executor, threads):
            args.executor = executor
            args.jobs = args.jobs or threads
            return _dispatch(paths, options, args, out)
    args.executor = None
    return _dispatch(paths, options, args, out)


def _dispatch(paths: list[str], options: dict[str, Any], args: argparse.Namespace, out: OutputDir | None) -> int:
    if paths == ["-"]:
        options["data"] = sys.stdin.buffer.read()
        return _run_one(STDIN_NAME, options, args, out)
    if len(paths) == 1 and not os.path.isdir(paths[0]):
        return _run_one(paths[0], options, args, out)

    files, missing = expand(paths)
    if not files:
        print("tarvek: no .pb files found in " + ", ".join(paths), file=sys.stderr)
        return EXIT_INPUT
    return _run_many(files, missing, options, args, out)


def _run_one(path: str, options: dict[str, Any], args: argparse.Namespace, out: OutputDir | None) -> int:
    [result] = _count([path], options, args, jobs=args.jobs if args.executor else 1, out=None)
    _show([result], args.format, detailed=True)
    if out is not None and not _save(out, [result]):
        return EXIT_INPUT
    return EXIT_STATUS[result["status"]]


def _run_many(
    files: list[str], missing: set[str], options: dict[str, Any], args: argparse.Namespace, out: OutputDir | None
) -> int:
    """Count several files. Each result is written into the output folder as
    soon as it is known; on Ctrl-C the files counted so far are shown."""
    if out is not None and not _save(out, []):
        return EXIT_INPUT
    results: dict[str, FileResult] = {}
    for path in files:
        if path in missing:
            results[path] = failure(path, "input error", "no such file or folder")
            if out is not None:
                _save(out, [results[path]])
    existing = [f for f in files if f not in missing]
    interrupted = False
    try:
        results.update(zip(existing, _count(existing, options, args, jobs=args.jobs, out=out), strict=True))
    except _Interrupted as partial:
        results.update(partial.results)
        interrupted = True
    shown = [results.get(f) or failure(f, "interrupted", "not counted (interrupted)") for f in files]
    _show(shown, args.format, detailed=False)
    if interrupted:
        print(f"tarvek: interrupted; {len(results)} of {len(files)} files counted", file=sys.stderr)
        return EXIT_INTERRUPTED
    if out is not None and out.failed:
        return EXIT_INPUT
    return max((EXIT_STATUS[r["status"]] for r in shown), default=EXIT_OK)


class _Interrupted(Exception):
    """Ctrl-C during a count of several files, with the results known by then."""

    def __init__(self, results: dict[str, FileResult]) -> None:
        super().__init__()
        self.results = results


def _count(
    files: list[str], options: dict[str, Any], args: argparse.Namespace, jobs: int | None, out: OutputDir | None
) -> list[FileResult]:
    """Count ``files`` with the progress line; results in the order of ``files``.
    Each result goes into ``out`` as soon as it is known. Ctrl-C raises
    :class:`_Interrupted` with the results known by then."""
    done: dict[int, FileResult] = {}
    meter = Progress(len(files), enabled=not args.quiet)
    try:
        for i, result in batch.counts(
            files,
            args.executor,
            jobs=jobs,
            timeout=args.timeout,
            waiting=lambda running: meter.show([files[i] for i in running]),
            **options,
        ):
            done[i] = result
            meter.finished(result)
            if out is not None:
                _save(out, [result])
    except KeyboardInterrupt:
        if len(files) == 1:
            raise
        raise _Interrupted({files[i]: r for i, r in done.items()}) from None
    finally:
        meter.close()
    return [done[i] for i in range(len(files))]


def _save(out: OutputDir, results: list[FileResult]) -> bool:
    """Write ``results`` into the output folder (creating it); False, with one
    message, when that fails, after which nothing more is written there."""
    if out.failed:
        return False
    try:
        out.create()
        for result in results:
            out.write(result)
    except OSError as e:
        out.failed = True
        print(f"tarvek: cannot write the results into {out.folder}: {e.strerror or e}", file=sys.stderr)
        return False
    return True
