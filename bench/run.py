#!/usr/bin/env python3
"""Speed of tarvekbindings on real participatory-budgeting votes.

For every election file (default: the .pb files of ../shared/data/pabulib
beside the repository, or of TARVEK_PABULIB_DIR)
the benchmark measures

- equal_shares_utils and equal_shares_add1 called from Python;
- the same two functions called natively on C++ containers, without the
  Python conversion (bench/native, built with cmake into build/bench on
  first use);
- the yardstick: the plain reference implementation of the tests
  (tests/reference), written straight from the definition of the rule, built
  with the same flags. Its completion is capped at --max-seconds per file;
  beyond the cap its time is extrapolated from its measured part and a few
  sampled runs at later budgets, and marked "~" (">=" when the total number
  of runs is itself unknown);
- the number of runs of the rule that the completion makes: counted by
  replaying the completion's plain steps natively with the engine's exported
  equal_shares_utils (capped at --replay-seconds; ">=" when capped). The
  engine may stop earlier than the plain steps where a further run provably
  cannot change the outcome, so this counts the definition's runs, the
  yardstick's workload;
- the peak memory of one call (Python, fresh subprocess, and native),
  against the input's own size;
- optionally (--peer) the same elections through pabutools' Method of Equal
  Shares with additive satisfaction and a one-unit voter budget increment.

One line per election goes to stderr as it finishes; the table goes to
stdout at the end and, as CSV, to bench/results/<name>.csv.

    pip install .
    python bench/run.py                      # everything, default caps
    python bench/run.py --quick              # skips the slowest elections
    python bench/run.py --files Assen Zurich # names containing these texts
"""

from __future__ import annotations

import argparse
import json
import os
import platform
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

# Elections whose completion takes seconds even in the engine and minutes in
# the yardstick; --quick leaves them out.
SLOW = ("Hungary_Budapest_2023_VIII_Jozsefvaros", "Hungary_Budapest_2024")

COLUMNS = [
    # the election
    "file", "vote_type", "voters", "projects", "supporters",
    # equal_shares_utils
    "py_utils_ms", "engine_utils_ms", "conversion_ms", "conversion_share_utils",
    "yardstick_utils_ms", "speedup_utils", "agree_utils",
    # equal_shares_add1
    "py_add1_ms", "engine_add1_ms", "conversion_share_add1", "runs", "runs_complete",
    "engine_plain_runs", "engine_range_runs", "engine_skipped_runs",
    "engine_ms_per_run", "yardstick_add1_ms", "yardstick_add1_kind", "yardstick_runs_measured",
    "yardstick_ms_per_run", "speedup_add1", "agree_add1",
    # errors the rule raised (the same in engine and yardstick when they agree)
    "error_utils", "error_add1",
    # memory
    "input_py_mb", "input_native_mb", "py_peak_utils_mb", "py_peak_add1_mb",
    "engine_peak_utils_mb", "engine_peak_add1_mb", "py_peak_per_input", "engine_peak_per_input",
    # the peer
    "peer_s", "peer_agree",
]


def find_files(patterns: list[str] | None) -> list[Path]:
    everything = sorted(DATA_DIR.glob("*.pb"))
    if not patterns:
        return everything
    chosen: list[Path] = []
    for pattern in patterns:
        path = Path(pattern)
        if path.is_file():
            chosen.append(path)
            continue
        hits = [f for f in everything if pattern in f.name]
        if not hits:
            raise SystemExit(f"bench: no election file matches {pattern!r} in {DATA_DIR}")
        chosen.extend(h for h in hits if h not in chosen)
    return chosen


# ---------------------------------------------------------------------------
# Children: run in a fresh interpreter, so that their memory figures are not
# inflated by what the parent has allocated before.


def child_python(path: str, min_time: float) -> None:
    """Times both functions through Python (best of repetitions) and records
    the peak resident memory of their calls above the memory before them."""
    import tarvekbindings
    from tarvek import pabulib

    args = pabulib.load(path).arguments()
    # One JSON line per figure as soon as it is known, so that a parent that
    # gives up on a long call still has the earlier ones.
    print(json.dumps({"input_py_bytes": benchlib.deep_size(args)}), flush=True)
    for name in ("utils", "add1"):
        function = getattr(tarvekbindings, f"equal_shares_{name}")

        def call(function: Any = function) -> Any:
            try:
                return function(*args)
            except Exception as e:  # the rule's own failures are results too
                return e

        def timed() -> tuple[float, int, Any]:
            return benchlib.best_of(call, min_time=min_time)

        extra, reset, (seconds, reps, result) = benchlib.peak_extra(timed)
        out: dict[str, Any] = {
            f"{name}_s": seconds, f"{name}_reps": reps, f"peak_{name}_bytes": extra, "peak_reset": reset,
        }
        if isinstance(result, Exception):
            out[f"{name}_error"] = f"{type(result).__name__}: {result}"
        else:
            out[f"{name}_outcome"] = benchlib.escaped_outcome(result)
        print(json.dumps(out), flush=True)


def child_peer(path: str) -> None:
    """pabutools' MES with additive satisfaction (1 per approval, or the points
    given) and a one-unit voter budget increment. Ties: lowest cost, then the
    highest total utility, then the id."""
    from pabutools.election import Additive_Cardinal_Sat, Cardinality_Sat, parse_pabulib
    from pabutools.rules import method_of_equal_shares
    from pabutools.tiebreaking import TieBreakingRule

    from tarvek import pabulib

    election = pabulib.load(path)
    totals = election.total_utility
    start = time.perf_counter()
    instance, profile = parse_pabulib(path)
    sat = Cardinality_Sat if election.vote_type in ("approval", "choose-1") else Additive_Cardinal_Sat
    ties = TieBreakingRule(lambda inst, prof, proj: (float(proj.cost), -totals.get(proj.name, 0), proj.name))
    outcome = method_of_equal_shares(
        instance, profile, sat_class=sat, tie_breaking=ties, voter_budget_increment=1
    )
    elapsed = time.perf_counter() - start
    print(json.dumps({"peer_s": elapsed, "outcome": sorted(benchlib.escaped_outcome(p.name for p in outcome))}))


# ---------------------------------------------------------------------------
# The parent


def run_child(kind: str, path: Path, timeout: float | None, extra: list[str] | None = None) -> dict[str, Any]:
    """Runs this script as a child and merges the JSON lines it printed; on a
    timeout, what it printed so far and "timeout": True."""
    cmd = [sys.executable, __file__, f"--child-{kind}", str(path)] + (extra or [])
    result: dict[str, Any] = {}
    stdout, failed = run_with_timeout(cmd, timeout)
    for line in stdout.splitlines():
        if line.startswith("{"):
            result.update(json.loads(line))
    if failed:
        result["timeout" if failed == "timeout" else "failed"] = failed
    return result


def run_with_timeout(cmd: list[str], timeout: float | None) -> tuple[str, str]:
    """stdout of `cmd` (partial after a timeout) and "" or "timeout" or the
    last line of its stderr when it failed."""
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        out = e.stdout or ""
        return (out.decode() if isinstance(out, bytes) else out), "timeout"
    if done.returncode != 0:
        tail = done.stderr.strip().splitlines()[-1:] or [f"exit status {done.returncode}"]
        return done.stdout, tail[0]
    return done.stdout, ""


def ms(seconds: float | None) -> float | None:
    return None if seconds is None else seconds * 1e3


def ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a is not None and b else None


def agreement(engine: Any, others: list[tuple[str, Any]]) -> str:
    """'yes' when every other result equals the engine's; otherwise says who
    differs. An error counts as a result: the same message is agreement."""
    differing = [name for name, other in others if other != engine]
    return "yes" if not differing else "NO: " + ",".join(differing)


def measure(path: Path, opts: argparse.Namespace) -> dict[str, Any]:
    from tarvek import pabulib

    row: dict[str, Any] = {"file": path.name}
    election = pabulib.load(path)
    args = election.arguments()
    voters, projects, _, approvers, _, _ = args
    row.update(
        vote_type=election.vote_type,
        voters=len(voters),
        projects=len(projects),
        supporters=sum(len(s) for s in approvers.values()),
    )

    instance_file = benchlib.BUILD_DIR / "instances" / (path.stem + ".inst")
    benchlib.write_instance(instance_file, args)

    # Through Python, in a fresh interpreter (for clean memory figures).
    py = run_child("python", path, opts.engine_timeout, ["--min-time", str(opts.min_time)])
    if "utils_s" not in py:
        raise RuntimeError(f"the Python measurement failed on {path.name}: {py}")

    # Natively: the engine (its completion can be slow: under a timeout),
    # then the run counter and the yardstick (capped by themselves).
    native = [str(benchlib.NATIVE_BINARY), "time", str(instance_file), "--min-time", str(opts.min_time)]
    out_engine, engine_failed = run_with_timeout(native + ["--only-engine"], opts.engine_timeout)
    if engine_failed and engine_failed != "timeout":
        raise RuntimeError(f"tarvek_bench failed on {path.name}: {engine_failed}")
    out_rest, rest_failed = run_with_timeout(
        [*native, "--no-engine", "--yardstick-seconds", str(opts.max_seconds),
         "--replay-seconds", str(opts.replay_seconds)],
        None,
    )
    if rest_failed:
        raise RuntimeError(f"tarvek_bench failed on {path.name}: {rest_failed}")
    n = benchlib.parse_native(out_engine + "\n" + out_rest)
    timed_out = engine_failed == "timeout"
    py_timed_out = bool(py.get("timeout"))

    def result(label: str) -> Any:
        # An outcome as escaped ids, or the error message.
        if f"error_{label}" in n:
            return "error: " + n[f"error_{label}"].strip()
        return n.get(f"outcome:{label}")

    def py_result(name: str) -> Any:
        if f"{name}_error" in py:
            # "RuntimeError: <message>" -> the message, as the native side has it
            return "error: " + py[f"{name}_error"].split(": ", 1)[-1].strip()
        return py.get(f"{name}_outcome")

    py_utils_s, py_add1_s = py.get("utils_s"), py.get("add1_s")
    eu_s, ea_s = n.get("engine_utils_s"), n.get("engine_add1_s")
    yu_s = n.get("yardstick_utils_s")
    row["py_utils_ms"] = ms(py_utils_s)
    row["engine_utils_ms"] = ms(eu_s)
    # The conversion of the arguments is the same for both functions: it is
    # what a Python call costs beyond the engine's own work.
    conversion_s = max(0.0, py_utils_s - eu_s) if py_utils_s is not None and eu_s is not None else None
    row["conversion_ms"] = ms(conversion_s)
    row["conversion_share_utils"] = ratio(conversion_s, py_utils_s)
    row["yardstick_utils_ms"] = ms(yu_s)
    row["speedup_utils"] = ratio(yu_s, eu_s)
    row["agree_utils"] = agreement(
        result("engine_utils"),
        [("python", py_result("utils")), ("yardstick", result("yardstick_utils"))],
    )
    row["error_utils"] = py.get("utils_error", "")

    timeout_text = f">{opts.engine_timeout * 1e3:.0f}"
    row["py_add1_ms"] = ms(py_add1_s) if py_add1_s is not None else (timeout_text if py_timed_out else None)
    row["engine_add1_ms"] = ms(ea_s) if ea_s is not None else (timeout_text if timed_out else None)
    row["conversion_share_add1"] = ratio(conversion_s, py_add1_s)
    runs = n["replay_runs"]
    runs_complete = bool(n["replay_ended"])
    row["runs"] = runs
    row["runs_complete"] = "yes" if runs_complete else "no (>=)"
    for key in ("engine_plain_runs", "engine_range_runs", "engine_skipped_runs"):
        row[key] = n.get(key)
    row["engine_ms_per_run"] = ms(ea_s) / runs if ea_s is not None and runs_complete else None
    # The engine's add1 outcome is compared with the Python call's, the run
    # counter's (the plain steps, run by the engine's equal_shares_utils) and
    # the yardstick's; capped ones are left out and the row says so.
    others = [("python", py_result("add1"))]
    left_out = []
    if runs_complete:
        others.append(("replay", result("replay_add1")))
    else:
        left_out.append("replay")
    ys = n.get("yardstick_add1_s")
    measured_runs = n.get("yardstick_add1_runs")
    row["yardstick_runs_measured"] = measured_runs
    if n.get("yardstick_add1_ended") == 1 or "error_yardstick_add1" in n:
        row["yardstick_add1_ms"] = ms(ys)
        row["yardstick_add1_kind"] = "measured"
        others.append(("yardstick", result("yardstick_add1")))
        if measured_runs and runs_complete and measured_runs != runs:
            others.append(("yardstick-runs", f"{measured_runs} runs"))
    elif "yardstick_add1_estimate_s" in n:
        lower = n.get("yardstick_add1_estimate_is_lower_bound") == 1
        row["yardstick_add1_ms"] = ms(n["yardstick_add1_estimate_s"])
        row["yardstick_add1_kind"] = "lower bound (>=)" if lower else "extrapolated (~)"
        left_out.append("yardstick")
    if measured_runs:
        row["yardstick_ms_per_run"] = ms(ys) / measured_runs
    row["speedup_add1"] = ratio(n.get("yardstick_add1_estimate_s", ys), ea_s)
    engine_add1 = result("engine_add1")
    if engine_add1 is None:
        row["agree_add1"] = "n/a (engine timed out)"
    else:
        row["agree_add1"] = agreement(engine_add1, [o for o in others if o[1] is not None])
        if py_result("add1") is None:
            left_out.append("python")
        if left_out:
            row["agree_add1"] += f" ({', '.join(left_out)} capped)"
    row["error_add1"] = py.get("add1_error", "")

    # Memory: the input's own size, and what a call adds at its peak.
    row["input_py_mb"] = py["input_py_bytes"] / 2**20
    row["input_native_mb"] = n["input_bytes"] / 2**20
    row["py_peak_utils_mb"] = py["peak_utils_bytes"] / 2**20
    row["py_peak_add1_mb"] = py["peak_add1_bytes"] / 2**20 if "peak_add1_bytes" in py else None
    row["engine_peak_utils_mb"] = n["engine_utils_peak_extra_bytes"] / 2**20
    row["engine_peak_add1_mb"] = (
        n["engine_add1_peak_extra_bytes"] / 2**20 if "engine_add1_peak_extra_bytes" in n else None
    )
    # The larger of the two calls' peaks, per byte of input.
    py_peak = max(v for v in (row["py_peak_utils_mb"], row["py_peak_add1_mb"], 0.0) if v is not None)
    engine_peak = max(v for v in (row["engine_peak_utils_mb"], row["engine_peak_add1_mb"], 0.0) if v is not None)
    row["py_peak_per_input"] = ratio(py_peak, row["input_py_mb"])
    row["engine_peak_per_input"] = ratio(engine_peak, row["input_native_mb"])

    # The peer.
    if opts.peer:
        peer = run_child("peer", path, opts.peer_timeout) or {}
        if peer.get("timeout"):
            row["peer_s"] = f">{opts.peer_timeout:g} (timed out)"
        elif "failed" in peer:
            row["peer_agree"] = "failed: " + peer["failed"]
        else:
            row["peer_s"] = peer["peer_s"]
            ours = [p for p in (py_result("add1") or [])] if "add1_outcome" in py else None
            if ours is None:
                row["peer_agree"] = "engine failed"
            else:
                same = sorted(ours) == peer["outcome"]
                only_ours = sorted(set(ours) - set(peer["outcome"]))
                only_peer = sorted(set(peer["outcome"]) - set(ours))
                row["peer_agree"] = (
                    "yes"
                    if same
                    else f"NO (only engine: {' '.join(only_ours) or '-'}; only pabutools: {' '.join(only_peer) or '-'})"
                )
    return row


# ---------------------------------------------------------------------------
# Output


def fmt(value: Any, digits: int = 3) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        if value == 0:
            return "0"
        if abs(value) >= 100:
            return f"{value:.0f}"
        return f"{value:.{digits}g}"
    return str(value)


def speedup_text(row: dict[str, Any], key: str) -> str:
    value = row.get(key)
    if value is None:
        return ""
    mark = ""
    if key == "speedup_add1":
        kind = row.get("yardstick_add1_kind", "")
        mark = "~" if kind.startswith("extrapolated") else (">=" if kind.startswith("lower") else "")
    return f"{mark}{value:.1f}x"


def print_table(rows: list[dict[str, Any]]) -> None:
    headers: list[tuple[str, Callable[[dict[str, Any]], str]]] = [
        ("election", lambda r: r["file"][:-3][:38]),
        ("voters", lambda r: fmt(r.get("voters"))),
        ("proj", lambda r: fmt(r.get("projects"))),
        ("supp", lambda r: fmt(r.get("supporters"))),
        ("utils py ms", lambda r: fmt(r.get("py_utils_ms"))),
        ("eng ms", lambda r: fmt(r.get("engine_utils_ms"))),
        ("conv", lambda r: pct(r.get("conversion_share_utils"))),
        ("yard ms", lambda r: fmt(r.get("yardstick_utils_ms"))),
        ("x", lambda r: speedup_text(r, "speedup_utils")),
        ("add1 py ms", lambda r: fmt(r.get("py_add1_ms"))),
        ("eng ms", lambda r: fmt(r.get("engine_add1_ms"))),
        ("conv", lambda r: pct(r.get("conversion_share_add1"))),
        ("runs", lambda r: ("" if r.get("runs_complete") == "yes" else ">=") + fmt(r.get("runs"))),
        ("eng runs", lambda r: engine_runs_text(r)),
        ("yard ms", lambda r: yard_text(r)),
        ("x", lambda r: speedup_text(r, "speedup_add1")),
        ("same", lambda r: same_text(r)),
        ("in MB", lambda r: fmt(r.get("input_py_mb"), 2)),
        ("peak MB", lambda r: fmt(r.get("py_peak_add1_mb"), 2)),
        ("/in", lambda r: fmt(r.get("py_peak_per_input"), 2)),
        ("eng peak", lambda r: fmt(r.get("engine_peak_add1_mb"), 2)),
        ("/in", lambda r: fmt(r.get("engine_peak_per_input"), 2)),
    ]
    if any("peer_s" in r or "peer_agree" in r for r in rows):
        headers += [
            ("peer s", lambda r: fmt(r.get("peer_s"))),
            ("peer same", lambda r: str(r.get("peer_agree", ""))[:40]),
        ]
    cells = [[h for h, _ in headers]] + [[f(r) for _, f in headers] for r in rows]
    widths = [max(len(c[i]) for c in cells) for i in range(len(headers))]
    for k, line in enumerate(cells):
        padded = (c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths, strict=True)))
        print("  ".join(padded))
        if k == 0:
            print("  ".join("-" * w for w in widths))
    print()
    print("utils/add1 py ms: the Python call; eng ms: the engine alone (no argument conversion); conv: share of")
    print("the Python call spent converting arguments; yard: the yardstick (plain reference implementation),")
    print("~ extrapolated beyond the cap, >= a lower bound; x: yardstick time / engine time; runs: runs of the rule")
    print("in the plain completion; eng runs: what the engine's completion ran instead: single-budget runs + runs")
    print("over ranges of budgets;")
    print("same: engine = python = run counter = yardstick (u: utils, a: add1; * the call raises the same")
    print("error in all; (c) capped ones left out, python only when both are capped);")
    print("in MB: the Python arguments; peak MB: extra peak RSS of the Python add1 call; eng peak: of the native call;")
    print("/in: the larger peak of the two calls per byte of input (Python objects, resp. C++ containers).")
    for r in rows:
        for key in ("error_utils", "error_add1"):
            if r.get(key):
                print(f"  {r['file']}: {key[6:]} raises {r[key]}")
        for key in ("agree_utils", "agree_add1"):
            if r.get(key) and not str(r[key]).startswith("yes"):
                print(f"  {r['file']}: {key[6:]} outcomes differ: {r[key]}")


def pct(value: Any) -> str:
    return "" if value is None else f"{100 * value:.0f}%"


def engine_runs_text(row: dict[str, Any]) -> str:
    if row.get("engine_plain_runs") is None:
        return ""
    return f"{row['engine_plain_runs']}+{row['engine_range_runs']}r"


def yard_text(row: dict[str, Any]) -> str:
    kind = row.get("yardstick_add1_kind", "")
    mark = "~" if kind.startswith("extrapolated") else (">=" if kind.startswith("lower") else "")
    return mark + fmt(row.get("yardstick_add1_ms"))


def same_text(row: dict[str, Any]) -> str:
    def one(key: str) -> str:
        value = str(row.get(key, ""))
        if value.startswith("n/a"):
            return "n/a"
        if not value.startswith("yes"):
            return "NO"
        # *: the call raises, with the same error everywhere; (c): some of
        # the comparisons were left out because they were capped.
        return ("yes*" if row.get("error_" + key[6:]) else "yes") + ("(c)" if "capped" in value else "")

    return f"u:{one('agree_utils')} a:{one('agree_add1')}"


def table_provenance(opts: argparse.Namespace) -> str:
    return benchlib.provenance(
        "tarvekbindings benchmark",
        f"rule/ sources {opts.rule_digest}; Python {platform.python_version()}; "
        f"yardstick cap {opts.max_seconds:g} s, replay cap {opts.replay_seconds:g} s",
    )


def rule_digest() -> str:
    """A digest of rule/ as it is on disk: the engine that the native figures
    measure, also when it differs from the commit."""
    import hashlib

    digest = hashlib.sha256()
    for path in sorted((benchlib.REPO / "rule").iterdir()):
        if path.is_file():
            digest.update(path.name.encode() + b"\0" + path.read_bytes() + b"\0")
    return digest.hexdigest()[:12]


def peer_text(row: dict[str, Any]) -> str:
    if "peer_s" not in row and "peer_agree" not in row:
        return ""
    return f", peer {fmt(row.get('peer_s'))} s {str(row.get('peer_agree', ''))[:30]}"


def progress(row: dict[str, Any], index: int, total: int, seconds: float) -> None:
    log(
        f"[{index}/{total}] {row['file']}: utils {fmt(row.get('engine_utils_ms'))} ms"
        f" ({speedup_text(row, 'speedup_utils')}), add1 {fmt(row.get('engine_add1_ms'))} ms,"
        f" {'' if row.get('runs_complete') == 'yes' else '>='}{row.get('runs')} runs"
        f"{' (' + speedup_text(row, 'speedup_add1') + ')' if row.get('speedup_add1') else ''}, same {same_text(row)}"
        f"{peer_text(row)}"
        f"  [{seconds:.0f} s]"
    )


def warn_if_stale() -> None:
    """The native timings compile rule/ as it is now; the Python timings use
    the installed module. Says so when rule/ changed after the install."""
    import tarvekbindings

    installed = Path(tarvekbindings.__file__).stat().st_mtime
    newer = [p.name for p in (benchlib.REPO / "rule").iterdir() if p.stat().st_mtime > installed]
    if newer:
        log(f"bench: warning: rule/ changed after tarvekbindings was installed ({', '.join(sorted(newer))}); "
            "the Python and the native timings may measure different engines: run 'pip install .' again")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", nargs="+", metavar="NAME", help="election files, or texts their names contain")
    parser.add_argument(
        "--quick", action="store_true", help=f"skip the slowest elections ({', '.join(SLOW)}) and measure less"
    )
    parser.add_argument("--output", default=None, help="name of the CSV in bench/results (default: latest), or a path")
    parser.add_argument(
        "--max-seconds", type=float, default=60.0, help="cap on the yardstick's completion per file (default 60)"
    )
    parser.add_argument(
        "--replay-seconds", type=float, default=120.0, help="cap on the run counter per file (default 120)"
    )
    parser.add_argument(
        "--engine-timeout", type=float, default=300.0,
        help="seconds before a call of the engine is given up (default 300)",
    )
    parser.add_argument(
        "--min-time", type=float, default=1.0, help="seconds of repetitions for a best-of timing (default 1)"
    )
    parser.add_argument("--peer", action="store_true", help="also run pabutools (pip install pabutools)")
    parser.add_argument(
        "--peer-timeout", type=float, default=180.0, help="seconds before pabutools is given up (default 180)"
    )
    parser.add_argument("--child-python", help=argparse.SUPPRESS)
    parser.add_argument("--child-peer", help=argparse.SUPPRESS)
    opts = parser.parse_args()

    if opts.child_python:
        return child_python(opts.child_python, opts.min_time)
    if opts.child_peer:
        return child_peer(opts.child_peer)

    try:
        import tarvekbindings  # noqa: F401
    except ImportError as e:
        raise SystemExit(f"bench: cannot import tarvekbindings ({e}); run 'pip install .' first") from None
    warn_if_stale()
    # The engine measured: the sources as they are when the native build runs.
    opts.rule_digest = rule_digest()
    files = find_files(opts.files)
    if opts.quick:
        files = [f for f in files if f.stem not in SLOW]
        opts.max_seconds = min(opts.max_seconds, 10.0)
        opts.replay_seconds = min(opts.replay_seconds, 20.0)
        opts.min_time = min(opts.min_time, 0.3)
    benchlib.ensure_native()

    output = opts.output or "latest"
    if "/" in output or output.endswith(".csv") and os.sep in output:
        csv_path = Path(output)
    else:
        csv_path = benchlib.RESULTS_DIR / (output if output.endswith(".csv") else output + ".csv")
    # Taken before the first row is written: the table itself, once
    # rewritten, would make the tree read as dirty.
    provenance = table_provenance(opts)
    rows: list[dict[str, Any]] = []
    for i, path in enumerate(files, 1):
        start = time.perf_counter()
        row = measure(path, opts)
        rows.append(row)
        progress(row, i, len(files), time.perf_counter() - start)
        # After each election, so that a cut run keeps its rows.
        benchlib.write_table(csv_path, provenance, COLUMNS, rows)
    print_table(rows)
    log(f"bench: CSV written to {csv_path}")


if __name__ == "__main__":
    main()
