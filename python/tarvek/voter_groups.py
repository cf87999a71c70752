"""Voter groups: the voters split by what the VOTES section says about them
(age, sex, neighbourhood, voting method, ...).

Ages are put in bands; any other column groups the voters by its text. So
that no small group can be singled out, every group of fewer than
:data:`MIN_GROUP` voters goes into "other", and if "other" is then still
that small, the smallest groups join it until it is not. A column that
leaves fewer than two groups says nothing about who gains, and is skipped.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

from .pabulib import Election

__all__ = ["MIN_GROUP", "Group", "Grouping", "groupings"]

#: The fewest voters a group shown on its own may have.
MIN_GROUP = 20

#: The most groups shown per column (the largest; the rest go into "other").
MAX_GROUPS = 12

OTHER = "other"
NOT_GIVEN = "(not given)"

#: Age bands: (lowest age, highest age, label), in order.
AGE_BANDS = (
    (0, 17, "under 18"),
    (18, 24, "18–24"),
    (25, 34, "25–34"),
    (35, 44, "35–44"),
    (45, 54, "45–54"),
    (55, 64, "55–64"),
    (65, 200, "65 and over"),
)


@dataclass(frozen=True)
class Group:
    label: str
    #: The group's voters, as indices into ``election.voters``.
    members: tuple[int, ...]


@dataclass(frozen=True)
class Grouping:
    """The voters split by one column."""

    column: str
    groups: tuple[Group, ...]


def _age_band(text: str) -> str:
    # ASCII digits only: str.isdigit also takes "²", which int() refuses.
    if not (text.isascii() and text.isdigit()):
        return NOT_GIVEN
    age = int(text)
    for low, high, label in AGE_BANDS:
        if low <= age <= high:
            return label
    return NOT_GIVEN


def _labels(column: str, values: Sequence[str]) -> list[str]:
    if column.lower() == "age":
        return [_age_band(v.strip()) for v in values]
    return [v.strip() or NOT_GIVEN for v in values]


def _order(column: str, labels: list[str]) -> list[str]:
    """Labels in the order shown: age bands by age; others by size."""
    if column.lower() == "age":
        rank = {label: k for k, (_, _, label) in enumerate(AGE_BANDS)}
        return sorted(labels, key=lambda label: rank.get(label, len(rank)))
    return labels  # already by size


def grouping(column: str, values: Sequence[str]) -> Grouping | None:
    """The voters split by ``values`` (one per voter); None where that leaves
    fewer than two groups."""
    members: dict[str, list[int]] = {}
    for i, label in enumerate(_labels(column, values)):
        members.setdefault(label, []).append(i)
    # Largest first; among equals by label, so that the split does not
    # depend on the order of the voters.
    by_size = sorted(members, key=lambda label: (-len(members[label]), label))
    kept = [label for label in by_size[:MAX_GROUPS] if len(members[label]) >= MIN_GROUP and label != OTHER]
    other = sorted(i for label in members if label not in kept for i in members[label])
    while other and len(other) < MIN_GROUP and kept:
        smallest = kept.pop()
        other = sorted(other + members[smallest])
    groups = [Group(label, tuple(members[label])) for label in _order(column, kept)]
    if other:
        groups.append(Group(OTHER, tuple(other)))
    if len(groups) < 2:
        return None
    return Grouping(column, tuple(groups))


def groupings(election: Election) -> list[Grouping]:
    """One grouping per column about the voters that splits them, in file order."""
    found = (grouping(column, values) for column, values in election.voter_columns.items())
    return [g for g in found if g is not None]
