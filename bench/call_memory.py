#!/usr/bin/env python3
"""Memory of one equal_shares_utils call from Python, on CPython and PyPy.

For each election file, each interpreter in a fresh process of its own reads
the election, notes its peak resident size (ru_maxrss), makes one call on
the fresh objects and notes the peak again: the growth is what the call
needs beyond the caller's own objects (on PyPy including the C-level twins
of whatever objects cross into C). The last column repeats PyPy's call with
the election in list and dict subclasses, which are read item by item, as
every argument was before plain ones were packed.

    python bench/call_memory.py --pypy build/pypy-venv/bin/python
    python bench/call_memory.py --pypy PATH --files Warszawa_2026 Lodz_2022
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402

DEFAULT_FILES = ["Poland_Warszawa_2026", "Poland_Lodz_2022", "Hungary_Budapest_2024", "Poland_Swiecie_2023"]

CHILD = """
import json, resource, sys
import tarvekbindings
from tarvek import pabulib
args = pabulib.load(sys.argv[1]).arguments()
if sys.argv[2] == "item_by_item":
    class L(list): pass
    class D(dict): pass
    v, p, c, a, t, b = args
    args = (L(v), L(p), D(c), D({k: L(s) for k, s in a.items()}), D(t), b)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
tarvekbindings.equal_shares_utils(*args)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"before_mb": before / 1024, "growth_mb": (after - before) / 1024}))
"""


def measure(interpreter: str, path: Path, reading: str = "plain") -> dict[str, float]:
    done = subprocess.run([interpreter, "-c", CHILD, str(path), reading], capture_output=True, text=True,
                          check=True)
    result: dict[str, float] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pypy", required=True, help="a PyPy 3.11 interpreter with the package installed")
    parser.add_argument("--cpython", default=sys.executable, help="a CPython with the package (default: this one)")
    parser.add_argument("--files", nargs="+", default=DEFAULT_FILES, metavar="NAME",
                        help="texts the file names contain")
    opts = parser.parse_args()
    files = [f for f in sorted(benchlib.DATA_DIR.glob("*.pb")) if any(t in f.name for t in opts.files)]
    print(f"{'file':40} {'CPython before':>15} {'growth':>8} {'PyPy before':>12} {'growth':>8} "
          f"{'item by item':>13}  (MB)")
    for path in files:
        cpython, pypy = measure(opts.cpython, path), measure(opts.pypy, path)
        general = measure(opts.pypy, path, "item_by_item")
        print(f"{path.name[:40]:40} {cpython['before_mb']:15.0f} {cpython['growth_mb']:8.1f} "
              f"{pypy['before_mb']:12.0f} {pypy['growth_mb']:8.1f} {general['growth_mb']:13.1f}", flush=True)


if __name__ == "__main__":
    main()
