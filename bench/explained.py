#!/usr/bin/env python3
"""The explained count against the bare outcome, for real elections.

For every election file (default: a few large ones of ../shared/data/pabulib,
relative to the repository) and rule, times, best of --repeat calls on the
election read once:

- the contract module's call (equal_shares_utils or equal_shares_add1), and
- tarvek.count, which also builds the explanation of the run (every
  payment, the projects left out and why),

and prints both with their ratio: what the explanation costs on top.

    python bench/explained.py
    python bench/explained.py --rule add1 --files Warszawa_2026 Lodz
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from functools import partial
from pathlib import Path

import tarvek
import tarvekbindings
from tarvek import pabulib

DATA = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "pabulib"
LARGE = ["Poland_Warszawa_2026", "Poland_Lodz_2022", "Poland_Katowice_2023", "Netherlands_Amsterdam_309"]
CONTRACT = {"fixed": tarvekbindings.equal_shares_utils, "add1": tarvekbindings.equal_shares_add1}


def best_of(repeat: int, call: Callable[[], object]) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", nargs="*", default=LARGE, help="parts of file names (default: a few large ones)")
    parser.add_argument("--rule", choices=sorted(CONTRACT), default="fixed")
    parser.add_argument("--repeat", type=int, default=3)
    opts = parser.parse_args()
    paths = sorted(p for p in DATA.glob("*.pb") if any(part in p.name for part in opts.files))
    print(f"{'election':45s} {'rule':5s} {'outcome ms':>11s} {'explained ms':>13s} {'ratio':>6s}")
    for path in paths:
        election = pabulib.load(path)
        arguments = election.arguments()
        bare = best_of(opts.repeat, partial(CONTRACT[opts.rule], *arguments))
        explained = best_of(opts.repeat, partial(tarvek.count, election, rule=opts.rule, ties="file-order"))
        print(f"{path.stem:45s} {opts.rule:5s} {bare * 1e3:11.1f} {explained * 1e3:13.1f} {explained / bare:6.2f}")


if __name__ == "__main__":
    main()
