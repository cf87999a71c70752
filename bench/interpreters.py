#!/usr/bin/env python3
"""The Python call on CPython and on PyPy, side by side, for the real elections.

For every election file (default: the .pb files of ../shared/data/pabulib,
relative to the repository) each interpreter, in a fresh process of its own,
times equal_shares_utils and equal_shares_add1 called from Python

- with argument objects that the interpreter has passed before ("seen": the
  same objects call after call, best of repetitions), and
- with fresh ones ("fresh": the election read from its file again before each
  call, outside the timing, best of a few calls): PyPy builds a C-level copy
  of every object the first time it crosses into the module, CPython does not;
- with fresh ones again after the "seen" calls ("warm fresh"): what a caller
  pays who calls the module many times on new elections (a study of perturbed
  elections), once PyPy's JIT has compiled the module's Python code.

After the calls, each interpreter also times the least that any reading of
fresh arguments costs there ("floor"): one visit of every item, building
nothing, as a Python loop that has not run before (interpreted at first, like
the module's own Python code on a new process's first calls) and as
marshal.dumps (the interpreter's own walk of the objects), the faster of the
two, best of the same number of fresh calls. PyPy's floor plus the engine alone, over CPython's fresh call, is the
least PyPy/CPython fresh ratio that a reading made of such visits can reach.

The engine alone (bench/native, no conversion) gives what the call costs
beyond the engine: the conversion of the arguments. The outcomes (or the
error) of both interpreters must agree.

    python bench/interpreters.py --pypy PATH     # PATH: python of a PyPy venv
                                                 # with the package installed
    python bench/interpreters.py --pypy PATH --files Warszawa_2026 Lodz

The table goes to stdout, one line per election to stderr as it finishes, and
the CSV to bench/results/<output>.csv (default interpreters.csv).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import log  # noqa: E402

DATA_DIR = benchlib.DATA_DIR
FUNCTIONS = ("utils", "add1")
INTERPRETERS = ("cpython", "pypy")

COLUMNS = ["file", "voters", "supporters", "engine_utils_ms", "engine_add1_ms"]
for _f in FUNCTIONS:
    for _i in INTERPRETERS:
        COLUMNS += [f"{_i}_{_f}_ms", f"{_i}_{_f}_fresh_ms", f"{_i}_{_f}_warm_fresh_ms"]
    COLUMNS += [f"pypy_over_cpython_{_f}", f"pypy_over_cpython_{_f}_fresh",
                f"pypy_over_cpython_{_f}_warm_fresh"]
COLUMNS += ["cpython_conversion_ms", "pypy_conversion_ms", "cpython_conversion_fresh_ms",
            "pypy_conversion_fresh_ms", "cpython_floor_fresh_ms", "pypy_floor_fresh_ms",
            "pypy_floor_and_engine_over_cpython_utils_fresh", "agree"]


def visit(voters: Any, projects: Any, cost: Any, approvers: Any, total_utility: Any) -> int:
    """Reads every item of the first five arguments once and builds nothing."""
    seen = 0
    for voter in voters:
        seen += len(voter)
    for project in projects:
        seen += len(project)
    for project in cost:
        seen += len(project)
    for project, supporters in approvers.items():
        seen += len(project)
        for voter, utility in supporters:
            seen += len(voter) + utility
    for project, total in total_utility.items():
        seen += len(project) + total
    return seen


def best_fresh(path: str, fresh_calls: int, *uses: Callable[[Any], Any]) -> float:
    """The least time of any of `uses` on the arguments just read from `path`,
    over `fresh_calls` rounds, each use on arguments of its own."""
    from tarvek import pabulib

    best = float("inf")
    for _ in range(fresh_calls):
        for use in uses:
            new_args = pabulib.load(path).arguments()
            start = time.perf_counter()
            use(new_args)
            best = min(best, time.perf_counter() - start)
            del new_args
    return best


def floor_fresh(path: str, fresh_calls: int) -> float:
    """The least time of one complete visit of fresh arguments (see the top)."""
    import marshal

    return best_fresh(path, fresh_calls, lambda a: visit(*a[:5]), lambda a: marshal.dumps(tuple(a[:5]), 2))


def child(path: str, min_time: float, fresh_calls: int, skip_add1: bool) -> None:
    """Runs in the measured interpreter: prints one JSON line per function."""
    import tarvekbindings
    from tarvek import pabulib

    print(json.dumps({"version": sys.version.split()[0], "implementation": sys.implementation.name}),
          flush=True)
    args = pabulib.load(path).arguments()
    for name in FUNCTIONS:
        if name == "add1" and skip_add1:
            continue
        function = getattr(tarvekbindings, f"equal_shares_{name}")

        def call(arguments: Any = args, function: Any = function) -> Any:
            try:
                return function(*arguments)
            except Exception as e:  # the rule's own failures are results too
                return e

        fresh = best_fresh(path, fresh_calls, call)
        # As many calls as fit in min_time: on PyPy a small election's calls
        # reach their steady speed only after hundreds of calls.
        seen, _, result = benchlib.best_of(call, min_time=min_time, max_reps=sys.maxsize)
        warm_fresh = best_fresh(path, fresh_calls, call)
        if isinstance(result, Exception):
            outcome: Any = f"{type(result).__name__}: {result}"
        else:
            outcome = benchlib.escaped_outcome(result)
        print(json.dumps({f"{name}_s": seen, f"{name}_fresh_s": fresh, f"{name}_warm_fresh_s": warm_fresh,
                          f"{name}_outcome": outcome}),
              flush=True)
    # Last, so that the fresh calls above stay a new process's first calls;
    # the visit's own loop has not run before, so it runs as cold as they did.
    print(json.dumps({"floor_fresh_s": floor_fresh(path, fresh_calls)}), flush=True)


def run_child(interpreter: str, path: Path, opts: argparse.Namespace, skip_add1: bool) -> dict[str, Any]:
    cmd = [interpreter, __file__, "--child", str(path), "--min-time", str(opts.min_time),
           "--fresh-calls", str(opts.fresh_calls)] + (["--child-skip-add1"] if skip_add1 else [])
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=opts.timeout)
    result: dict[str, Any] = {}
    for line in done.stdout.splitlines():
        if line.startswith("{"):
            result.update(json.loads(line))
    if done.returncode != 0:
        result["failed"] = (done.stderr.strip().splitlines() or [f"exit {done.returncode}"])[-1]
    return result


def engine_alone(instance: Path, min_time: float, utils_only: bool) -> dict[str, Any]:
    """The native program's figures; with `utils_only` it is stopped as soon
    as it has timed equal_shares_utils (it prints and flushes each figure)."""
    native = [str(benchlib.NATIVE_BINARY), "time", str(instance), "--only-engine",
              "--min-time", str(min_time)]
    lines = []
    with subprocess.Popen(native, stdout=subprocess.PIPE, text=True) as program:
        assert program.stdout is not None
        for line in program.stdout:
            lines.append(line)
            if utils_only and line.startswith("engine_utils_reps"):
                program.kill()
                break
    return benchlib.parse_native("".join(lines))


def ms(seconds: Any) -> float | None:
    return seconds * 1e3 if isinstance(seconds, (int, float)) else None


def ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a is not None and b else None


def measure(path: Path, opts: argparse.Namespace) -> dict[str, Any]:
    from tarvek import pabulib

    args = pabulib.load(path).arguments()
    row: dict[str, Any] = {"file": path.name, "voters": len(args[0]),
                           "supporters": sum(len(s) for s in args[3].values())}
    skip_add1 = any(text in path.name for text in opts.skip_add1)
    instance = benchlib.BUILD_DIR / "instances" / (path.stem + ".inst")
    benchlib.write_instance(instance, args)
    engine = engine_alone(instance, opts.min_time, utils_only=skip_add1)
    for name in FUNCTIONS:
        row[f"engine_{name}_ms"] = None if skip_add1 and name == "add1" else ms(engine.get(f"engine_{name}_s"))

    found = {i: run_child(getattr(opts, i), path, opts, skip_add1) for i in INTERPRETERS}
    for name in FUNCTIONS:
        for i in INTERPRETERS:
            row[f"{i}_{name}_ms"] = ms(found[i].get(f"{name}_s"))
            row[f"{i}_{name}_fresh_ms"] = ms(found[i].get(f"{name}_fresh_s"))
            row[f"{i}_{name}_warm_fresh_ms"] = ms(found[i].get(f"{name}_warm_fresh_s"))
        for kind in ("", "_fresh", "_warm_fresh"):
            row[f"pypy_over_cpython_{name}{kind}"] = ratio(row[f"pypy_{name}{kind}_ms"],
                                                           row[f"cpython_{name}{kind}_ms"])
    for i in INTERPRETERS:
        for kind in ("", "_fresh"):
            call_ms, engine_ms = row[f"{i}_utils{kind}_ms"], row["engine_utils_ms"]
            row[f"{i}_conversion{kind}_ms"] = (max(0.0, call_ms - engine_ms)
                                              if call_ms is not None and engine_ms is not None else None)
    for i in INTERPRETERS:
        row[f"{i}_floor_fresh_ms"] = ms(found[i].get("floor_fresh_s"))
    if row["pypy_floor_fresh_ms"] is not None and row["engine_utils_ms"] is not None:
        row["pypy_floor_and_engine_over_cpython_utils_fresh"] = ratio(
            row["pypy_floor_fresh_ms"] + row["engine_utils_ms"], row["cpython_utils_fresh_ms"])
    problems = [f"{i} failed: {found[i]['failed']}" for i in INTERPRETERS if "failed" in found[i]]
    problems += [name for name in FUNCTIONS
                 if f"{name}_outcome" in found["cpython"]
                 and found["cpython"].get(f"{name}_outcome") != found["pypy"].get(f"{name}_outcome")]
    row["agree"] = "yes" if not problems else "NO: " + "; ".join(problems)
    row["versions"] = {i: f"{found[i].get('implementation')} {found[i].get('version')}"
                       for i in INTERPRETERS}
    return row


def fmt(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.3g}" if value < 100 else f"{value:.0f}"
    return str(value)


def print_table(rows: list[dict[str, Any]]) -> None:
    header = ["file", "voters", "engine", "cpy seen", "pypy seen", "x", "cpy fresh", "pypy fresh",
              "x", "cpy warm", "pypy warm", "x", "cpy conv", "pypy conv", "add1 cpy", "add1 pypy", "agree"]
    keys = ["engine_utils_ms", "cpython_utils_ms", "pypy_utils_ms", "pypy_over_cpython_utils",
            "cpython_utils_fresh_ms", "pypy_utils_fresh_ms", "pypy_over_cpython_utils_fresh",
            "cpython_utils_warm_fresh_ms", "pypy_utils_warm_fresh_ms", "pypy_over_cpython_utils_warm_fresh",
            "cpython_conversion_ms", "pypy_conversion_ms", "cpython_add1_ms", "pypy_add1_ms"]
    lines = [header] + [[r["file"][:40], str(r["voters"]), *(fmt(r.get(k)) for k in keys), r["agree"]]
                        for r in rows]
    widths = [max(len(line[c]) for line in lines) for c in range(len(header))]
    print("equal_shares_utils and equal_shares_add1 from Python, ms (x: PyPy / CPython)")
    for line in lines:
        print("  ".join(cell.ljust(w) if c == 0 else cell.rjust(w) for c, (cell, w) in
                        enumerate(zip(line, widths, strict=True))))
    summaries = [(f"PyPy / CPython, utils{kind.replace('_', ' ')}", f"pypy_over_cpython_utils{kind}")
                 for kind in ("", "_fresh", "_warm_fresh")]
    summaries.append(("PyPy floor + engine / CPython, utils fresh", "pypy_floor_and_engine_over_cpython_utils_fresh"))
    for label, key in summaries:
        ratios = [r[key] for r in rows if r.get(key) is not None]
        if ratios:
            print(f"{label}: median {fmt(statistics.median(ratios))}, max {fmt(max(ratios))}")


def write_csv(path: Path, rows: list[dict[str, Any]], opts: argparse.Namespace) -> None:
    versions = rows[0]["versions"] if rows else {}
    benchlib.write_table(
        path,
        benchlib.provenance(
            "tarvekbindings from Python on two interpreters",
            f"load average at the end {os.getloadavg()[1]:.1f} (5 min); {versions.get('cpython')} and "
            f"{versions.get('pypy')}; seen: best of calls within {opts.min_time:g} s, "
            f"fresh: best of {opts.fresh_calls} calls, warm fresh: the same after the seen calls, floor: the least "
            f"visit of fresh arguments by a loop not run before; add1 not timed for "
            f"{', '.join(opts.skip_add1) or 'none'}",
        ),
        COLUMNS, rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pypy", help="a PyPy 3.11 interpreter with the package installed")
    parser.add_argument("--cpython", default=sys.executable,
                        help="a CPython interpreter with the package installed (default: this one)")
    parser.add_argument("--files", nargs="+", metavar="NAME", help="texts the file names contain")
    parser.add_argument("--skip-add1", nargs="*", default=["Hungary_Budapest_2024"], metavar="NAME",
                        help="files whose completion is not timed (default: Hungary_Budapest_2024, "
                             "minutes per call)")
    parser.add_argument("--min-time", type=float, default=1.0, help="seconds of repeated calls (default 1)")
    parser.add_argument("--fresh-calls", type=int, default=3, help="calls on fresh arguments (default 3)")
    parser.add_argument("--timeout", type=float, default=900.0, help="per child process (default 900 s)")
    parser.add_argument("--output", default="interpreters", help="name of the CSV in bench/results")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--child-skip-add1", action="store_true", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child:
        child(opts.child, opts.min_time, opts.fresh_calls, opts.child_skip_add1)
        return
    if not opts.pypy:
        parser.error("--pypy is required")
    files = sorted(DATA_DIR.glob("*.pb"))
    if opts.files:
        files = [f for f in files if any(text in f.name for text in opts.files)]
    benchlib.ensure_native()
    rows = []
    for index, path in enumerate(files, 1):
        start = time.perf_counter()
        row = measure(path, opts)
        rows.append(row)
        log(f"[{index}/{len(files)}] {path.name}: utils CPython {fmt(row['cpython_utils_ms'])} ms, "
            f"PyPy {fmt(row['pypy_utils_ms'])} ms (fresh {fmt(row['cpython_utils_fresh_ms'])} / "
            f"{fmt(row['pypy_utils_fresh_ms'])}), engine {fmt(row['engine_utils_ms'])} ms; "
            f"agree {row['agree']}  [{time.perf_counter() - start:.0f} s]")
    print_table(rows)
    write_csv(benchlib.RESULTS_DIR / f"{opts.output}.csv", rows, opts)


if __name__ == "__main__":
    main()
