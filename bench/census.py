"""The completion's census: per election, how many trial budgets range runs
settled and how many single runs it made, how many failed range runs were
still settled because every run in them fits and is not exhaustive, and why
each range run that failed could not be proved, by decision (`tarvek_bench
census`; a range settled by the criterion counts its failure too); then how
many failed ranges were split into parts that go on from the round that
failed, how many parts that resumed, and why parts left to single runs or to
the steps that follow failed.

    python bench/census.py --files Hungary_Budapest_2023_VIII_Jozsefvaros Poland_Warszawa_2026
    python bench/census.py --files France_Toulouse_2019 --scale 1e6
    python bench/census.py                  # every election but Budapest 2024 (minutes)
"""

from __future__ import annotations

import argparse
import subprocess

import benchlib
from compare_builds import instance_for

SLOW = {"Hungary_Budapest_2024"}


def census(binary: str, name: str, scale: float) -> dict[str, str]:
    out = subprocess.run([binary, "census", str(instance_for(name, scale))],
                         check=True, capture_output=True, text=True).stdout
    row: dict[str, str] = {}
    for line in out.splitlines():
        words = line.split()
        if words[0] == "outcome":
            row["outcome"] = line
        elif words[0] == "error":
            row["error"] = line[len("error "):]
        elif words[0] == "failed":
            row[words[1]] = words[2]
        elif words[0] == "failed_part":
            row["part " + words[1]] = words[2]
        elif len(words) == 2:
            row[words[0]] = words[1]
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", nargs="+", help="election names, without .pb")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every cost and the budget by this")
    parser.add_argument("--binary", default=None, help="a tarvek_bench (default: build it)")
    args = parser.parse_args()
    binary = args.binary or str(benchlib.ensure_native())
    names = args.files or sorted(p.stem for p in benchlib.DATA_DIR.glob("*.pb")
                                 if p.stem not in SLOW)
    print("| election | CPU s | single runs | range runs | budgets in ranges | failed ranges settled by the criterion "
          "| runs of forks at close races | failed ranges by decision | failed ranges split | parts resumed "
          "| parts left to single runs by decision |")
    print("|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---|")
    fixed = {"outcome", "cpu_seconds", "single_runs", "range_runs", "budgets_in_ranges", "settled_by_criterion",
             "forked_runs", "split_ranges", "resumed_parts"}
    for name in names:
        row = census(binary, name, args.scale)
        failed = ", ".join(f"{k} {v}" for k, v in row.items() if k not in fixed and not k.startswith("part "))
        parts = ", ".join(f"{k[5:]} {v}" for k, v in row.items() if k.startswith("part "))
        print(f"| {name} | {float(row['cpu_seconds']):.3f} | {row['single_runs']} | "
              f"{row['range_runs']} | {row['budgets_in_ranges']} | {row.get('settled_by_criterion', '-')} | "
              f"{row.get('forked_runs', '-')} | {failed or '-'} | {row.get('split_ranges', '-')} | "
              f"{row.get('resumed_parts', '-')} | {parts or '-'} |", flush=True)


if __name__ == "__main__":
    main()
