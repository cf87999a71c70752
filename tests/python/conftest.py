"""Shared fixtures of the extension module's tests: the module itself, a small
election, and the real elections of the shared Pabulib directory."""

from __future__ import annotations

import csv
import io
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

PABULIB_DIR = Path("/work/shared/data/pabulib")


@pytest.fixture(scope="session")
def tb():
    """The installed extension module."""
    import tarvekbindings

    return tarvekbindings


@pytest.fixture
def small_election():
    """Two voters with 5.0 each. The rule selects only B (A costs more than its
    one supporter holds); the completion reaches A at the trial budget 12.0,
    where A and B tie at count 1 and the cheaper B goes first."""
    return (
        ["x", "y"],
        ["A", "B"],
        {"A": 6.0, "B": 4.0},
        {"A": [("x", 1)], "B": [("y", 1)]},
        {"A": 1, "B": 1},
        10.0,
    )


def load_pabulib(path: Path):
    """The six arguments of an approval election in a .pb file: every approval
    counts with utility 1, a project's total utility is its number of
    approvals, the budget is the META budget."""
    sections: dict[str, list[list[str]]] = {}
    current = None
    text = path.read_text(encoding="utf-8-sig")
    for row in csv.reader(io.StringIO(text.replace("\r\n", "\n")), delimiter=";"):
        if not row:
            continue
        head = row[0].strip()
        if len(row) == 1 and head in ("META", "PROJECTS", "VOTES"):
            current = head
            sections[current] = []
            continue
        sections[current].append([cell.strip() for cell in row])

    meta = {key: value for key, value, *_ in sections["META"][1:]}
    if meta.get("vote_type") not in ("approval", "choose-1"):
        raise ValueError(f"{path.name}: not an approval election")

    header = sections["PROJECTS"][0]
    pid, pcost = header.index("project_id"), header.index("cost")
    projects = [row[pid] for row in sections["PROJECTS"][1:]]
    cost = {row[pid]: float(row[pcost]) for row in sections["PROJECTS"][1:]}

    header = sections["VOTES"][0]
    vid, vvote = header.index("voter_id"), header.index("vote")
    voters: list[str] = []
    approvers: dict[str, list[tuple[str, int]]] = {p: [] for p in projects}
    for row in sections["VOTES"][1:]:
        voters.append(row[vid])
        for p in filter(None, (x.strip() for x in row[vvote].split(","))):
            approvers[p].append((row[vid], 1))
    total_utility = {p: len(approvers[p]) for p in projects}
    return voters, projects, cost, approvers, total_utility, float(meta["budget"])


@pytest.fixture(scope="session")
def pabulib():
    """Loader of a Pabulib file by name; skips when the data is not present."""

    def load(name: str):
        path = PABULIB_DIR / name
        if not path.is_file():
            pytest.skip(f"{path} not present")
        return load_pabulib(path)

    return load
