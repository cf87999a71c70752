#!/usr/bin/env python3
"""Writes the seed corpus of the engine's fuzz target into fuzz/corpus/.

Each seed is an election instance encoded in the byte layout that
fuzz_engine.cpp decodes: a few hand-made instances with known twists (ties,
zero and NaN costs, negative utilities, supporters who are not voters, no
voters, extreme budgets) and a few dozen small random ones. The output is
deterministic; rerun it after changing the layout.

    python3 fuzz/make_corpus.py
"""

from __future__ import annotations

import math
import random
import struct
from collections.abc import Mapping, Sequence
from pathlib import Path

POOL = ["a", "b", "c", "d", "e", "f", "g", "h", "x", "y", "z", "w", "", "\xff", "a ", "p\xe9"]
POOL_BYTES = [s.encode("latin-1") if s == "\xff" else s.encode() for s in POOL]

REAL_SPECIAL = {
    "0": 0, "-0": 1, "nan": 4, "-nan": 5, "inf": 6, "-inf": 7, "denorm": 8, "-denorm": 9,
    "min": 10, "max": 11, "-max": 12, "eps": 13, "1e300": 14, "1e-300": 15, "2^53": 16,
    "2^31": 18, "0.1": 22, "1/3": 23, "0.5": 24, "1e15": 25, "1e16": 26, "1e6": 27,
}
INT_SPECIAL = {2**31 - 1: 3, -(2**31): 4, 2**31 - 2: 5, -(2**31) + 1: 6}

FILL_COST, FILL_APPROVERS, FILL_TOTAL, TOTAL_IS_SUM, CHOICES_FROM_PROJECTS = 1, 2, 4, 8, 16


def enc_id(name: str | bytes) -> bytes:
    if isinstance(name, str) and name in POOL:
        return bytes([POOL.index(name)])
    raw = name if isinstance(name, bytes) else name.encode()
    if raw in POOL_BYTES:
        return bytes([POOL_BYTES.index(raw)])
    if raw == b"\0":
        return bytes([0xF0])
    assert len(raw) < 8, raw
    return bytes([0xF2, len(raw)]) + raw


def enc_real(value: float | str) -> bytes:
    if isinstance(value, str):
        return bytes([REAL_SPECIAL[value]])
    if float(value).is_integer() and -16 <= value <= 127 and not (value == 0 and math.copysign(1, value) < 0):
        return bytes([int(value) + 48])
    return bytes([0xE8]) + struct.pack("<d", float(value))


def enc_int(value: int) -> bytes:
    if -8 <= value <= 219:
        return bytes([value + 20])
    if value in INT_SPECIAL:
        return bytes([INT_SPECIAL[value]])
    return bytes([0xF0]) + struct.pack("<i", value)


Id = str | bytes
Supporters = Sequence[tuple[Id, int]]


def encode(
    voters: Sequence[Id],
    projects: Sequence[Id],
    cost: Mapping[Id, float | str],
    approvers: Mapping[Id, Supporters],
    total: Mapping[Id, int],
    budget: float | str,
    choices: Sequence[Id] = (),
    flags: int = 0,
) -> bytes:
    out = bytearray([flags, len(voters)])
    for v in voters:
        out += enc_id(v)
    out.append(len(projects))
    for p in projects:
        out += enc_id(p)
    out.append(len(cost))
    for p, c in cost.items():
        out += enc_id(p) + enc_real(c)
    out.append(len(approvers))
    for p, sups in approvers.items():
        out += enc_id(p) + bytes([len(sups)])
        for v, u in sups:
            out += enc_id(v) + enc_int(u)
    out.append(len(total))
    for p, t in total.items():
        out += enc_id(p) + enc_int(t)
    out += enc_real(budget)
    out.append(len(choices))
    for choice in choices:
        out += enc_id(choice)
    return bytes(out)


def election(
    voters: Sequence[Id],
    projects: Sequence[Id],
    costs: Sequence[float | str],
    supporters: Sequence[Supporters],
    budget: float | str,
    totals: Sequence[int] | None = None,
    choices: Sequence[Id] = (),
    flags: int = 0,
) -> bytes:
    """Projects given as parallel lists; total utility defaults to the sum.
    The lists may be shorter than ``projects`` (a seed with a project listed
    twice): the projects past their end get no entry."""
    cost = dict(zip(projects, costs, strict=False))
    approvers = dict(zip(projects, supporters, strict=False))
    if totals is None:
        totals = [sum(u for _, u in s) for s in supporters]
    total = dict(zip(projects, totals, strict=False))
    return encode(voters, projects, cost, approvers, total, budget, choices, flags)


def hand_made() -> dict[str, bytes]:
    s: dict[str, bytes] = {}
    s["worked_example"] = election(
        ["x", "y", "z"], ["a"], [30], [[("x", 1), ("y", 1), ("z", 2)]], 30, choices=["a"])
    s["small_three"] = election(
        ["x", "y", "z"], ["a", "b", "c"], [12, 20, 5],
        [[("x", 1), ("y", 1)], [("x", 1), ("y", 1), ("z", 1)], [("z", 1)]], 30)
    s["tie_unresolved"] = election(
        ["x", "y"], ["a", "b"], [10, 10], [[("x", 1)], [("y", 1)]], 20, choices=["a", "b"])
    s["tie_by_cost"] = election(
        ["x", "y"], ["a", "b", "c"], [10, 5, 5], [[("x", 1)], [("y", 1)], [("y", 1)]], 20,
        totals=[3, 3, 7], choices=["a", "b", "c"])
    s["zero_negative_nan_cost"] = election(
        ["x", "y", "z"], ["a", "b", "c", "d"], [0, -5, "nan", 7],
        [[("x", 1)], [("y", 1)], [("z", 1)], [("x", 2), ("z", 1)]], 30)
    s["negative_utility"] = election(
        ["x", "y"], ["a", "b"], [10, 4], [[("x", 2), ("y", -1)], [("y", 1)]], 12, totals=[1, 1])
    s["unlisted_supporters"] = election(
        ["x"], ["a", "b"], [6, 3], [[("x", 1), ("z", 5)], [("w", 1)]], 10)
    s["no_voters"] = election([], ["a"], [5], [[("x", 1)]], 10)
    s["no_projects"] = election(["x", "y"], [], [], [], 10)
    s["empty"] = encode([], [], {}, {}, {}, 0.0)
    s["duplicates"] = election(
        ["x", "x", "y"], ["a", "a", "b"], [6, 4], [[("x", 1), ("x", 1)], [("y", 1), ("y", 2)]], 9)
    s["zero_utility"] = election(
        ["x", "y"], ["a", "b"], [5, 5], [[("x", 0), ("y", 0)], [("x", 1), ("y", 0)]], 10,
        totals=[0, 1])
    s["extreme_utilities"] = election(
        ["x", "y", "z"], ["a", "b", "c"], [10, 20, 30],
        [[("x", 2**31 - 1)], [("y", -(2**31))], [("z", 1), ("x", 2**31 - 1)]], 60,
        totals=[1, 2**31 - 1, -(2**31)])
    s["nan_budget"] = election(["x", "y"], ["a", "b"], [5, 8], [[("x", 1)], [("y", 1)]], "nan")
    s["inf_budget"] = election(["x", "y"], ["a", "b"], [5, 8], [[("x", 1)], [("y", 1)]], "inf")
    s["neg_inf_budget"] = election(["x"], ["a"], [5], [[("x", 1)]], "-inf")
    s["huge_budget"] = election(["x", "y"], ["a", "b"], [5, 8], [[("x", 1)], [("y", 1)]], "1e300")
    s["subnormal_budget"] = election(["x"], ["a"], ["denorm"], [[("x", 1)]], "denorm")
    s["negative_budget"] = election(["x", "y"], ["a"], [5], [[("x", 1), ("y", 1)]], -10)
    s["add1_grows"] = election(
        ["x", "y", "z"], ["a", "b", "c"], [20, 15, 12],
        [[("x", 1), ("y", 1)], [("y", 1), ("z", 1)], [("x", 1), ("z", 1)]], 40)
    s["add1_zero_cost_fits"] = election(
        ["x", "y"], ["a", "b"], [0, 7], [[("x", 1)], [("x", 1), ("y", 1)]], 10)
    s["add1_overspends"] = election(
        ["x", "y", "z"], ["a", "b"], [18, 14], [[("x", 1), ("y", 1)], [("y", 1), ("z", 1)]], 30)
    s["odd_ids"] = election(
        ["", "\0", "a "], ["\xff", "p\xe9", "x"], [3, 4, 5],
        [[("", 1)], [("\0", 1)], [("a ", 1), ("", 1)]], 15, choices=["\xff", "x"])
    s["missing_keys"] = encode(["x"], ["a", "b"], {"a": 5.0}, {"a": [("x", 1)]}, {"a": 1}, 10.0,
                               ["a", "b"])
    s["inconsistent_totals"] = election(
        ["x", "y"], ["a", "b"], [10, 10], [[("x", 5), ("y", 5)], [("x", 1)]], 20, totals=[1, 100])
    return s


def random_seed(rng: random.Random) -> bytes:
    voters = [rng.choice("xyzwabcd") for _ in range(rng.randint(0, 8))]
    projects = rng.sample("abcdefgh", rng.randint(0, 6))
    costs = [rng.choice([0, 1, 2, 3, 5, 8, 10, 12, 20, 30, 0.5, -1]) for _ in projects]
    supporters = [[(rng.choice("xyzwabcd"), rng.choice([0, 1, 1, 1, 2, 3, -1]))
                   for _ in range(rng.randint(0, 5))] for _ in projects]
    budget = rng.choice([0, 10, 20, 30, 50, 100, 7, 0.5])
    flags = rng.choice([0, FILL_COST | FILL_APPROVERS | FILL_TOTAL | TOTAL_IS_SUM, CHOICES_FROM_PROJECTS])
    choices = rng.sample(projects, min(len(projects), rng.randint(0, 3)))
    return election(voters, projects, costs, supporters, budget, choices=choices, flags=flags)


def main() -> None:
    out = Path(__file__).resolve().parent / "corpus"
    out.mkdir(exist_ok=True)
    for old in out.iterdir():
        old.unlink()
    for name, data in hand_made().items():
        (out / name).write_bytes(data)
    rng = random.Random(20261208)
    for i in range(24):
        (out / f"random_{i:02d}").write_bytes(random_seed(rng))


if __name__ == "__main__":
    main()
