"""What the comparison with greedy and the recorded outcome costs, against a
count without it: CPU seconds (time.process_time, the least of --rounds runs)
per election of

- read: pabulib.load keeping the voters' VOTES columns (tarvek.load does);
- read_bare: pabulib.load(voter_columns=False), as a count without the
  comparison reads (and as every read did before the columns were kept),
  and read_extra_pct, what keeping them would add to a count (read and
  read_bare take turns, 3 * --rounds times, as their difference is small
  against the noise of a loaded machine);
- count: results.count_file without the comparison (read bare, count, explain);
- compare: comparison.compare on the counted outcome (greedy, the voter
  figures under every outcome, for all voters and per group), and
  compare_pct, that as a share of count.

    python bench/comparison_cost.py                         # a few real files
    python bench/comparison_cost.py --files Warszawa_2026 Lodz_2022 --rounds 5

Prints a Markdown table on stdout; with --output NAME, also writes it to
bench/results/NAME.md.
"""

from __future__ import annotations

import argparse
import gc
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from benchlib import DATA_DIR, RESULTS_DIR, log, provenance

from tarvek import pabulib
from tarvek.comparison import compare
from tarvek.counting import count
from tarvek.results import count_file

DEFAULT_FILES = [
    "Poland_Warszawa_2026",
    "Poland_Lodz_2022",
    "Poland_Katowice_2023",
    "Poland_Czestochowa_2025",
    "Netherlands_Amsterdam_309",
    "Worldwide_Mechanical_Turk_Utilities_8",
]


def cpu(work: Callable[[], Any], rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        gc.collect()  # no round pays for the garbage of the one before
        started = time.process_time()
        work()
        best = min(best, time.process_time() - started)
    return best


def paired(first: Callable[[], Any], second: Callable[[], Any], rounds: int) -> tuple[float, float]:
    """cpu() of each, the two taking turns, so that both see the same load."""
    a = b = float("inf")
    for _ in range(rounds):
        a = min(a, cpu(first, 1))
        b = min(b, cpu(second, 1))
    return a, b


def measure(path: Path, rounds: int) -> dict[str, Any]:
    name = str(path)
    election = pabulib.load(name)
    outcome = count(election, "add1", "file-order").outcome
    row: dict[str, Any] = {
        "file": path.stem,
        "voters": len(election.voters),
        "columns": ", ".join(election.voter_columns) or "-",
        "count": cpu(lambda: count_file(name, ties="file-order"), rounds),
        "compare": cpu(lambda: compare(election, outcome), rounds),
    }
    row["read"], row["read_bare"] = paired(
        lambda: pabulib.load(name), lambda: pabulib.load(name, voter_columns=False), 3 * rounds
    )
    row["read_extra_pct"] = 100 * (row["read"] - row["read_bare"]) / row["count"]
    row["compare_pct"] = 100 * row["compare"] / row["count"]
    return row


def table(rows: list[dict[str, Any]]) -> str:
    head = "| file | voters | VOTES columns about the voters | read s | read_bare s | read_extra % of count " \
           "| count s | compare s | compare % of count |"
    lines = [head, "|" + "---|" * 9]
    for r in rows:
        lines.append(
            f"| {r['file']} | {r['voters']:,} | {r['columns']} | {r['read']:.3f} | {r['read_bare']:.3f} "
            f"| {r['read_extra_pct']:.1f} | {r['count']:.3f} | {r['compare']:.3f} | {r['compare_pct']:.1f} |"
        )
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", nargs="+", default=DEFAULT_FILES, help="election names (a part of the name)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--output", help="also write the table to bench/results/OUTPUT.md")
    args = parser.parse_args()
    paths = []
    for part in args.files:
        found = sorted(DATA_DIR.glob(f"*{part}*.pb"))
        if not found:
            raise SystemExit(f"no election file matches {part!r} in {DATA_DIR}")
        paths.append(found[0])
    rows = []
    for path in paths:
        rows.append(measure(path, args.rounds))
        log(f"{path.stem}: done")
    options = f"--files {' '.join(args.files)} --rounds {args.rounds}"
    text = provenance("comparison_cost.py: CPU seconds, least of the rounds", options) + "\n\n" + table(rows)
    print(text, end="")
    if args.output:
        (RESULTS_DIR / f"{args.output}.md").write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
