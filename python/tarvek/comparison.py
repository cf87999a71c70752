"""Equal shares beside the city's usual rule and the recorded outcome.

:func:`compare` puts side by side, on one election, the outcome of equal
shares, that of greedy by votes (:mod:`tarvek.greedy`) and, where the file
records one, the official outcome: which projects each funds, what each
spends, and what each gives the voters (:mod:`tarvek.voter_figures`), all
of them and group by group (:mod:`tarvek.voter_groups`).
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from .counting import count, load
from .greedy import greedy_outcome
from .pabulib import Election
from .voter_figures import Supporters, VoterFigures, figures, per_voter, place, scale
from .voter_groups import groupings

__all__ = ["Comparison", "GroupFigures", "GroupTable", "Outcome", "ProjectRow", "compare"]

#: The outcomes compared, by key, with how they are named.
LABELS = {
    "equal_shares": "Equal shares",
    "greedy": "Greedy by votes",
    "recorded": "Recorded outcome",
}


@dataclass(frozen=True)
class Outcome:
    key: str
    label: str
    #: The funded projects (equal shares and greedy: in the order they were
    #: chosen; the recorded outcome: in file order).
    projects: tuple[str, ...]
    #: Their costs summed in that order.
    spent: float
    figures: VoterFigures


@dataclass(frozen=True)
class ProjectRow:
    project_id: str
    name: str | None
    cost: float
    #: Total utility (votes, or points).
    votes: int
    supporters: int
    #: Whether each outcome funds it, in the order of ``Comparison.outcomes``.
    funded: tuple[bool, ...]


@dataclass(frozen=True)
class GroupFigures:
    label: str
    voters: int
    #: The group's figures under each outcome, in the order of ``Comparison.outcomes``.
    figures: tuple[VoterFigures, ...]


@dataclass(frozen=True)
class GroupTable:
    """The figures per group of the voters, split by one VOTES column."""

    column: str
    groups: tuple[GroupFigures, ...]


@dataclass(frozen=True)
class Comparison:
    outcomes: tuple[Outcome, ...]
    #: Every project, in the order greedy considers them (most votes first).
    projects: tuple[ProjectRow, ...]
    groups: tuple[GroupTable, ...]
    budget: float

    def outcome(self, key: str) -> Outcome | None:
        return next((o for o in self.outcomes if o.key == key), None)

    def to_dict(self) -> dict[str, Any]:
        """A plain dict, ready for JSON (the ``comparison`` of a file's result)."""
        return dataclasses.asdict(self)


def compare(
    election_or_path: Election | str | os.PathLike[str],
    outcome: Sequence[str] | None = None,
    *,
    rule: str = "add1",
    ties: str | Sequence[str] | None = None,
) -> Comparison:
    """Equal shares beside greedy by votes and the recorded outcome.

    ``election_or_path``: an election, or the path of a ``.pb`` file (read
    with the default options). ``outcome``: the equal-shares outcome if
    already counted; otherwise it is counted here with ``rule`` and ``ties``
    (as :func:`tarvek.count`).
    """
    election = election_or_path if isinstance(election_or_path, Election) else load(election_or_path)
    if outcome is None:
        outcome = count(election, rule, ties).outcome
    chosen: dict[str, list[str]] = {"equal_shares": list(outcome), "greedy": greedy_outcome(election)}
    if election.recorded_outcome is not None:
        chosen["recorded"] = election.recorded_outcome
    supporters = Supporters(election)
    each = {key: per_voter(election, projects, supporters) for key, projects in chosen.items()}
    axes = scale(list(each.values()))
    voters = {key: place(outcome, axes) for key, outcome in each.items()}
    outcomes = tuple(
        Outcome(key, LABELS[key], tuple(projects), _spent(election, projects), figures(voters[key]))
        for key, projects in chosen.items()
    )
    funded = {key: set(projects) for key, projects in chosen.items()}
    ranked = sorted(election.projects, key=lambda pid: -election.total_utility[pid])
    rows = tuple(
        ProjectRow(
            pid,
            election.projects[pid].name,
            election.projects[pid].cost,
            election.total_utility[pid],
            election.supporters(pid),
            tuple(pid in funded[key] for key in chosen),
        )
        for pid in ranked
    )
    tables = tuple(
        GroupTable(
            g.column,
            tuple(
                GroupFigures(
                    group.label, len(group.members), tuple(figures(voters[key], group.members) for key in chosen)
                )
                for group in g.groups
            ),
        )
        for g in groupings(election)
    )
    return Comparison(outcomes, rows, tables, election.budget)


def _spent(election: Election, projects: Sequence[str]) -> float:
    spent = 0.0
    for pid in projects:
        spent += election.projects[pid].cost
    return spent
