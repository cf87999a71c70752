"""The engine alone, two builds side by side: the CPU time of one call of
`equal_shares_utils` or `equal_shares_add1` (the mean over a round of calls,
the least over several rounds) for each build of the native benchmark
(`tarvek_bench profile`), the builds taking turns so that both see the same
load.

    python bench/compare_builds.py OLD_BINARY NEW_BINARY \\
        --files Poland_Warszawa_2026 Hungary_Budapest_2024 --calls utils add1 \\
        --seconds 3 --rounds 5 --output run_speed

Each .pb file is converted once into an instance file under
build/bench/instances (needs the installed package `tarvek`). Prints a
Markdown table and, with --output, writes it to bench/results/<output>.md.
"""

from __future__ import annotations

import argparse
import platform
import subprocess
from pathlib import Path

import benchlib


def instance_for(name: str, scale: float = 1.0) -> Path:
    """The instance file of an election; with `scale`, every cost and the
    budget multiplied by it (the same vote in a currency of smaller units)."""
    from tarvek import pabulib

    suffix = "" if scale == 1.0 else f"_x{scale:g}"
    path = benchlib.BUILD_DIR / "instances" / f"{name}{suffix}.inst"
    if not path.exists():
        voters, projects, cost, approvers, total_utility, budget = pabulib.load(
            benchlib.DATA_DIR / f"{name}.pb").arguments()
        if scale != 1.0:
            cost = {p: c * scale for p, c in cost.items()}
            budget *= scale
        benchlib.write_instance(path, (voters, projects, cost, approvers, total_utility, budget))
    return path


def cpu_per_call(binary: str, instance: Path, call: str, seconds: float) -> float:
    """Mean CPU time of the calls of one round: on a loaded machine the mean
    of many short calls is steadier than the fastest of them."""
    out = subprocess.run([binary, "profile", str(instance), call, str(seconds)],
                         check=True, capture_output=True, text=True).stdout
    fields = dict(line.split(" ", 1) for line in out.splitlines() if " " in line)
    return float(fields["cpu_seconds"]) / int(fields["calls"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--files", nargs="+", required=True, help="election names, without .pb")
    parser.add_argument("--calls", nargs="+", default=["utils", "add1"], choices=["utils", "add1"])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every cost and the budget by this factor")
    parser.add_argument("--old-plain", action="store_true",
                        help="in the old column, the completion that runs every trial budget "
                             "(tarvek_bench profile ... add1_plain) instead of add1")
    parser.add_argument("--seconds", type=float, default=3.0, help="per build, file, call and round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--output", help="write bench/results/<output>.md")
    opts = parser.parse_args()

    rows = []
    for name in opts.files:
        instance = instance_for(name, opts.scale)
        for call in opts.calls:
            best = {"old": float("inf"), "new": float("inf")}
            for _ in range(opts.rounds):
                for build in ("old", "new"):
                    build_call = "add1_plain" if build == "old" and opts.old_plain and call == "add1" else call
                    seconds = cpu_per_call(getattr(opts, build), instance, build_call, opts.seconds)
                    best[build] = min(best[build], seconds)
            rows.append((name if opts.scale == 1.0 else f"{name} x{opts.scale:g}", call, best["old"], best["new"]))
            benchlib.log(f"{name} {call}: {best['old'] * 1e3:.2f} ms -> {best['new'] * 1e3:.2f} ms")

    lines = [
        "| election | call | old ms | new ms | speedup |",
        "|---|---|---:|---:|---:|",
    ]
    for name, call, old, new in rows:
        lines.append(f"| {name} | {call} | {old * 1e3:.2f} | {new * 1e3:.2f} | {old / new:.2f}x |")
    table = "\n".join(lines)
    print(table)
    if opts.output:
        note = (f"CPU time of one call: the mean over a round of calls of at least {opts.seconds:g} s, "
                f"the least of {opts.rounds} rounds per build (builds taking turns), "
                f"on {platform.node() or 'this machine'}.")
        path = benchlib.RESULTS_DIR / f"{opts.output}.md"
        path.write_text(f"{note}\n\n{table}\n")


if __name__ == "__main__":
    main()
