"""What an outcome gives each voter: how many funded projects it supports,
the utility it draws from them and the money spent on them.

:func:`per_voter` walks the funded projects' supporters once and fills three
flat arrays indexed like ``election.voters``; :func:`place` puts each voter
in its bins on a :class:`Scale` shared by every outcome compared, so that
their histograms line up bin for bin; :func:`figures` sums them up for all
voters or for a group of them.

Sums are taken in a fixed order, so that the figures are the same on every
machine: a voter's money in the order of the outcome, a mean over the voters
in the order of the file.
"""

from __future__ import annotations

import math
import operator
from bisect import bisect_left
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from functools import reduce
from typing import TypeVar

from .pabulib import Election

__all__ = ["Bin", "PerVoter", "Placed", "Scale", "Supporters", "VoterFigures", "figures", "per_voter", "place", "scale"]

#: Bins of a histogram beyond the bin of voters with nothing.
BINS = 10

_T = TypeVar("_T", int, float)


@dataclass(frozen=True)
class PerVoter:
    """One outcome, voter by voter (indexed like ``election.voters``)."""

    projects: list[int]
    utility: list[int]
    money: list[float]


class Supporters:
    """Each project's supporters as places in ``election.voters``, with their
    utilities: looked up by id once per election, whichever outcomes fund it."""

    def __init__(self, election: Election) -> None:
        self._approvers = election.approvers
        self._index = {vid: i for i, vid in enumerate(election.voters)}
        self._of: dict[str, tuple[list[int], list[int]]] = {}

    def of(self, project: str) -> tuple[list[int], list[int]]:
        found = self._of.get(project)
        if found is None:
            pairs = self._approvers[project]
            found = self._of[project] = ([self._index[vid] for vid, _ in pairs], [u for _, u in pairs])
        return found


def per_voter(election: Election, outcome: Sequence[str], supporters: Supporters) -> PerVoter:
    """The funded projects each voter supports, its utility from them and the
    money spent on them (summed in the order of ``outcome``)."""
    n = len(election.voters)
    projects = [0] * n
    utility = [0] * n
    money = [0.0] * n
    for pid in outcome:
        cost = election.projects[pid].cost
        for i, u in zip(*supporters.of(pid), strict=True):
            projects[i] += 1
            utility[i] += u
            money[i] += cost
    return PerVoter(projects, utility, money)


@dataclass(frozen=True)
class Bin:
    """Voters whose value lies in [low, high] (``low == high``: exactly that
    value); apart from the first bin, ``low`` itself belongs to the bin before."""

    low: float
    high: float
    voters: int


@dataclass(frozen=True)
class Axis:
    """The bins of one histogram: ``step`` 0 means one bin per whole number
    from 0 to ``top``; otherwise a bin for 0, then bins of width ``step``."""

    top: float
    step: float

    def edges(self) -> list[tuple[float, float]]:
        if self.step == 0:
            return [(v, v) for v in range(int(self.top) + 1)]
        count = max(1, math.ceil(self.top / self.step))
        return [(0.0, 0.0)] + [(k * self.step, (k + 1) * self.step) for k in range(count)]

    def places(self, values: Sequence[float]) -> list[int]:
        """The bin of each value: the first whose ``high`` (as :meth:`edges`
        computes it) is not below it; the last for anything above ``top``."""
        if self.step == 0:
            return [int(v) for v in values]  # one bin per whole number: the value is the bin
        highs = [high for _, high in self.edges()]
        last = len(highs) - 1
        return [min(bisect_left(highs, v), last) for v in values]


@dataclass(frozen=True)
class Scale:
    """The histogram axes shared by the outcomes compared."""

    projects: Axis
    utility: Axis
    money: Axis


def _axis(top: float, whole: bool) -> Axis:
    if top <= 0 or (whole and top <= BINS):
        return Axis(top, 0)
    # The smallest step of 1, 2 or 5 (2.5 for amounts) times a power of ten
    # that covers the range in BINS bins.
    raw = top / BINS
    # The power of ten at or below raw, by exact steps rather than log10,
    # whose last bit may differ between C libraries.
    power = 1.0
    while power > raw:
        power /= 10
    while power * 10 <= raw:
        power *= 10
    for factor in (1, 2, 2.5, 5, 10):
        if whole and factor == 2.5:
            continue
        if factor * power >= raw:
            step = factor * power
            break
    if whole:
        step = max(1.0, math.ceil(step))
    return Axis(top, step)


def scale(outcomes: Sequence[PerVoter]) -> Scale:
    """Axes that hold every voter of every outcome."""
    return Scale(
        projects=_axis(max((max(o.projects, default=0) for o in outcomes), default=0), whole=True),
        utility=_axis(max((max(o.utility, default=0) for o in outcomes), default=0), whole=True),
        money=_axis(max((max(o.money, default=0.0) for o in outcomes), default=0.0), whole=False),
    )


@dataclass(frozen=True)
class VoterFigures:
    """What an outcome gives a set of voters."""

    voters: int
    #: Voters who support at least one funded project.
    with_funded: int
    #: ``with_funded`` over ``voters``; None without voters.
    share_with_funded: float | None
    #: Means over the voters (None without voters): funded projects supported,
    #: utility drawn from them, money spent on them.
    mean_projects: float | None
    mean_utility: float | None
    mean_money: float | None
    #: Histograms of the same three, voter by voter.
    projects: tuple[Bin, ...]
    utility: tuple[Bin, ...]
    money: tuple[Bin, ...]


@dataclass(frozen=True)
class Placed:
    """An outcome's voters, each placed in its bin of every axis of a scale
    (once, so that the figures of each group only count them)."""

    outcome: PerVoter
    axes: Scale
    #: Per voter, its bin on the axis of funded projects, of utility, of money.
    bins: tuple[list[int], list[int], list[int]]


def place(outcome: PerVoter, axes: Scale) -> Placed:
    """The voters of ``outcome`` in the bins of ``axes``."""

    return Placed(
        outcome,
        axes,
        (
            axes.projects.places(outcome.projects),
            axes.utility.places(outcome.utility),
            axes.money.places(outcome.money),
        ),
    )


def _histogram(bins: Sequence[int], axis: Axis) -> tuple[Bin, ...]:
    counts = Counter(bins)
    return tuple(Bin(low, high, counts[k]) for k, (low, high) in enumerate(axis.edges()))


def _only(values: list[_T], members: Sequence[int] | None) -> Sequence[_T]:
    if members is None:
        return values
    if len(members) < 2:  # itemgetter gives a single value, not a tuple, for one index
        return [values[i] for i in members]
    picked: tuple[_T, ...] = operator.itemgetter(*members)(values)
    return picked


def figures(placed: Placed, members: Sequence[int] | None = None) -> VoterFigures:
    """The figures of the voters ``members`` (indices; None: all voters)."""
    outcome, axes = placed.outcome, placed.axes
    projects = _only(outcome.projects, members)
    utility = _only(outcome.utility, members)
    money = _only(outcome.money, members)
    n = len(projects)
    with_funded = n - projects.count(0)
    return VoterFigures(
        voters=n,
        with_funded=with_funded,
        share_with_funded=with_funded / n if n else None,
        # Whole numbers are summed exactly; amounts one after the other, in
        # the order of the voters (reduce, unlike sum, never compensates).
        mean_projects=sum(projects) / n if n else None,
        mean_utility=sum(utility) / n if n else None,
        mean_money=reduce(operator.add, money, 0.0) / n if n else None,
        projects=_histogram(_only(placed.bins[0], members), axes.projects),
        utility=_histogram(_only(placed.bins[1], members), axes.utility),
        money=_histogram(_only(placed.bins[2], members), axes.money),
    )
