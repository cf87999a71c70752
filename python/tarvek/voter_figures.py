"""What an outcome gives each voter: how many funded projects it supports,
the utility it draws from them and the money spent on them.

:func:`per_voter` walks the funded projects' supporters once and fills three
flat arrays indexed like ``election.voters``; :func:`figures` sums them up
for all voters or for a group of them, on a :class:`Scale` shared by every
outcome compared, so that their histograms line up bin for bin.

Sums are taken in a fixed order, so that the figures are the same on every
machine: a voter's money in the order of the outcome, a mean over the voters
in the order of the file.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

from .pabulib import Election

__all__ = ["Bin", "PerVoter", "Scale", "VoterFigures", "figures", "per_voter", "scale"]

#: Bins of a histogram beyond the bin of voters with nothing.
BINS = 10


@dataclass(frozen=True)
class PerVoter:
    """One outcome, voter by voter (indexed like ``election.voters``)."""

    projects: list[int]
    utility: list[int]
    money: list[float]


def per_voter(election: Election, outcome: Sequence[str], index: dict[str, int]) -> PerVoter:
    """The funded projects each voter supports, its utility from them and the
    money spent on them (summed in the order of ``outcome``). ``index``: voter
    id -> its place in ``election.voters``."""
    n = len(election.voters)
    projects = [0] * n
    utility = [0] * n
    money = [0.0] * n
    for pid in outcome:
        cost = election.projects[pid].cost
        for vid, u in election.approvers[pid]:
            i = index[vid]
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

    def place(self, value: float) -> int:
        """The bin of ``value``: the first whose ``high`` (as :meth:`edges`
        computes it) is not below it."""
        if self.step == 0:
            return int(value)
        if value <= 0:
            return 0
        last = max(1, math.ceil(self.top / self.step))
        k = min(max(1, math.ceil(value / self.step)), last)
        # The division may round across an edge; the edges decide.
        while k > 1 and value <= (k - 1) * self.step:
            k -= 1
        while k < last and value > k * self.step:
            k += 1
        return k


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
    power = 10.0 ** math.floor(math.log10(raw))
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


def _histogram(values: Sequence[float], members: Sequence[int], axis: Axis) -> tuple[Bin, ...]:
    edges = axis.edges()
    counts = [0] * len(edges)
    for i in members:
        counts[axis.place(values[i])] += 1
    return tuple(Bin(low, high, c) for (low, high), c in zip(edges, counts, strict=True))


def _mean(values: Sequence[float], members: Sequence[int]) -> float | None:
    if not members:
        return None
    total = 0.0
    for i in members:
        total += values[i]
    return total / len(members)


def figures(outcome: PerVoter, axes: Scale, members: Sequence[int] | None = None) -> VoterFigures:
    """The figures of the voters ``members`` (indices; None: all voters)."""
    if members is None:
        members = range(len(outcome.projects))
    n = len(members)
    with_funded = sum(1 for i in members if outcome.projects[i] > 0)
    return VoterFigures(
        voters=n,
        with_funded=with_funded,
        share_with_funded=with_funded / n if n else None,
        mean_projects=_mean(outcome.projects, members),
        mean_utility=_mean(outcome.utility, members),
        mean_money=_mean(outcome.money, members),
        projects=_histogram(outcome.projects, members, axes.projects),
        utility=_histogram(outcome.utility, members, axes.utility),
        money=_histogram(outcome.money, members, axes.money),
    )
