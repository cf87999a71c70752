#!/usr/bin/env python3
"""A synthetic large election through both functions: time and peak memory.

By default a million voters and 300 projects. Every voter approves 1 to 5
projects, drawn with a skewed popularity (a few projects draw most of the
support), and gives each 1 to 5 points. Costs lie between a tenth of the
number of voters and the number of voters (100,000 to 1,000,000), and the
budget gives every voter 10 units, so that each further run of the
completion adds a tenth of the budget.

    python bench/large.py                    # Python calls and the engine alone
    python bench/large.py --voters 200000    # smaller
    python bench/large.py --yardstick 120    # also the reference implementation, capped

The Python figures come from this process; the engine-alone figures from
bench/native (built on first use), which also counts the runs of the
completion's plain steps.
"""

from __future__ import annotations

import argparse
import platform
import random
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
from benchlib import log  # noqa: E402


def make_election(voters: int, projects: int, seed: int) -> benchlib.Arguments:
    rng = random.Random(seed)
    project_ids = [f"project-{i:04d}" for i in range(projects)]
    # Costs scale with the electorate, so that smaller runs select as many.
    cost = {p: float(rng.randrange(voters // 10, voters + 1, max(1, voters // 1000))) for p in project_ids}
    # Zipf-like popularity: the i-th project is drawn with weight 1/(i+1)^0.8.
    weights = [1.0 / (i + 1) ** 0.8 for i in range(projects)]
    approvers: dict[str, list[tuple[str, int]]] = {p: [] for p in project_ids}
    voter_ids = [f"voter-{v:07d}" for v in range(voters)]
    for voter in voter_ids:
        k = rng.randint(1, 5)
        chosen = set(rng.choices(range(projects), weights=weights, k=k))
        for i in chosen:
            approvers[project_ids[i]].append((voter, rng.randint(1, 5)))
    total_utility = {p: sum(u for _, u in s) for p, s in approvers.items()}
    budget = 10.0 * voters
    return voter_ids, project_ids, cost, approvers, total_utility, budget


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--voters", type=int, default=1_000_000)
    parser.add_argument("--projects", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-add1", action="store_true", help="only equal_shares_utils")
    parser.add_argument("--no-native", action="store_true", help="skip the engine-alone measurement")
    parser.add_argument("--yardstick", type=float, default=0.0, metavar="SECONDS",
                        help="also time the reference implementation, its completion capped at SECONDS")
    parser.add_argument("--output", help="also write the figures as CSV to bench/results/<OUTPUT>.csv")
    opts = parser.parse_args()

    import tarvekbindings

    figures: dict[str, Any] = {"voters": opts.voters, "projects": opts.projects, "seed": opts.seed}
    start = time.perf_counter()
    args = make_election(opts.voters, opts.projects, opts.seed)
    figures["supporters"] = sum(len(s) for s in args[3].values())
    figures["generate_s"] = time.perf_counter() - start
    figures["input_py_mb"] = benchlib.deep_size(args) / 2**20
    log(f"large: {opts.voters} voters, {opts.projects} projects, {figures['supporters']} supporter entries "
        f"({figures['input_py_mb']:.0f} MB of Python objects), generated in {figures['generate_s']:.1f} s")

    for name in ("utils",) if opts.no_add1 else ("utils", "add1"):
        function = getattr(tarvekbindings, f"equal_shares_{name}")

        def call(function: Any = function) -> tuple[float, list[str]]:
            t = time.perf_counter()
            outcome = function(*args)
            return time.perf_counter() - t, outcome

        extra, reset, (seconds, outcome) = benchlib.peak_extra(call)
        figures[f"py_{name}_s"] = seconds
        figures[f"py_peak_{name}_mb"] = extra / 2**20
        figures[f"{name}_selected"] = len(outcome)
        log(f"large: Python equal_shares_{name}: {seconds:.2f} s, peak +{extra / 2**20:.0f} MB, "
            f"{len(outcome)} projects selected")

    if not opts.no_native:
        benchlib.ensure_native()
        instance = benchlib.BUILD_DIR / "instances" / f"large-{opts.voters}-{opts.projects}-{opts.seed}.inst"
        benchlib.write_instance(instance, args)
        del args  # the native program holds its own copy
        cmd = [str(benchlib.NATIVE_BINARY), "time", str(instance), "--min-time", "0", "--max-reps", "1",
               "--replay-seconds", str(max(opts.yardstick, 300.0))]
        if opts.yardstick > 0:
            cmd += ["--yardstick-seconds", str(opts.yardstick)]
        else:
            cmd.append("--no-yardstick")
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"large: tarvek_bench failed: {done.stderr.strip()}")
        n = benchlib.parse_native(done.stdout)
        figures["input_native_mb"] = n["input_bytes"] / 2**20
        for name in ("utils", "add1"):
            if f"engine_{name}_s" in n:
                figures[f"engine_{name}_s"] = n[f"engine_{name}_s"]
                figures[f"engine_peak_{name}_mb"] = n[f"engine_{name}_peak_extra_bytes"] / 2**20
        figures["runs"] = n["replay_runs"] if n["replay_ended"] else f">={n['replay_runs']}"
        if "yardstick_utils_s" in n:
            figures["yardstick_utils_s"] = n["yardstick_utils_s"]
        if "yardstick_add1_s" in n:
            if n.get("yardstick_add1_ended") == 1:
                figures["yardstick_add1_s"] = n["yardstick_add1_s"]
            else:
                figures["yardstick_add1_s"] = f"~{n.get('yardstick_add1_estimate_s', 0):.1f} (extrapolated)"
        same = n.get("outcome:engine_add1") == n.get("outcome:replay_add1") if n["replay_ended"] else None
        figures["engine_add1_equals_plain_steps"] = same
        instance.unlink()

    print()
    width = max(len(k) for k in figures)
    for key, value in figures.items():
        text = f"{value:.3f}" if isinstance(value, float) else str(value)
        print(f"{key.ljust(width)}  {text}")
    if opts.output:
        path = benchlib.RESULTS_DIR / f"{opts.output}.csv"
        options = (
            f"Python {platform.python_version()}; {opts.voters} voters, {opts.projects} projects, seed {opts.seed}"
            f"{', no add1' if opts.no_add1 else ''}{', no native run' if opts.no_native else ''}; "
            f"yardstick cap {opts.yardstick:g} s"
        )
        benchlib.write_table(path, benchlib.provenance("tarvekbindings on a large generated election", options),
                             list(figures), [figures])
        log(f"large: CSV written to {path}")


if __name__ == "__main__":
    main()
