"""Counting an election with the explanation of its outcome.

:func:`count` runs the engine (the rule alone, or its Add1 completion) and
replays the run that produced the outcome with the engine's round observer,
so that every number of the explanation comes from that very run: per round
the selected project, its effective vote count, the price per unit of utility
and what its supporters paid; per project left out the money its supporters
held against its cost; per voter what it paid for what.

With the Add1 completion, the outcome is that of a run with a larger trial
budget (``Count.run_budget``): the first of the completion's accepted runs
that selected it in a row up to the end. The explanation describes that run,
in which every voter started with ``run_budget / voters``. The first is taken
because it is defined in every case, also where the completion ends because no
later run can change the outcome, and it does not depend on which runs the
engine skipped.
"""

from __future__ import annotations

import os
import random
import secrets
from collections.abc import Collection, Sequence
from dataclasses import dataclass, field
from typing import Any

from . import pabulib
from .rules import TIE_PREFIX, TieError, check_rule, project_label

__all__ = ["Count", "LeftOut", "Round", "Tie", "count", "load"]

@dataclass(frozen=True)
class Tie:
    """A tie broken by the chosen order: in ``round``, ``chosen`` won among ``tied``."""

    round: int
    tied: tuple[str, ...]
    chosen: str


@dataclass(frozen=True)
class Round:
    """One selection of the run."""

    number: int
    project: str
    cost: float
    #: The effective vote count at which the project won the round.
    effective_votes: float
    #: What a supporter pays per unit of utility (cost / effective votes).
    price: float
    #: What its supporters paid together (summed in supporter order).
    paid: float
    supporters: int
    #: Supporters who paid all the money they still held.
    paid_all: int
    tie: Tie | None
    #: (voter, amount) per supporter, in the project's supporter order.
    payments: tuple[tuple[str, float], ...] = field(repr=False)


@dataclass(frozen=True)
class LeftOut:
    """A project that was not selected."""

    project: str
    cost: float
    #: A key of :data:`tarvek.rules.REASONS`.
    reason: str
    #: What its supporters held at the end of the run.
    supporters_money: float
    #: The round in which it became unaffordable, and what its supporters
    #: held then; None when it never did.
    left_in_round: int | None
    money_when_left: float | None

    @property
    def shortfall(self) -> float:
        """How much money its supporters lacked at the end."""
        return self.cost - self.supporters_money


@dataclass(frozen=True)
class Count:
    """An election counted, with the explanation of its outcome."""

    path: str
    #: "add1" or "fixed", see :data:`tarvek.rules.RULES`.
    rule: str
    #: The election's budget.
    budget: float
    #: The selected project ids, in selection order.
    outcome: tuple[str, ...]
    #: What the outcome costs (summed in selection order).
    cost: float
    #: The budget of the run that selected the outcome: the election's budget
    #: for "fixed"; for "add1", the first of the completion's accepted trial
    #: budgets that selected this outcome in a row up to its end (every later
    #: one selects the same projects in the same order, with other payments).
    run_budget: float
    #: What every voter started with in that run.
    start_money: float
    #: The outcome recorded in the file, if any, and whether it is the same set.
    recorded: tuple[str, ...] | None
    agrees: bool | None
    rounds: tuple[Round, ...]
    left_out: tuple[LeftOut, ...]
    #: Every tie broken by the chosen order.
    ties: tuple[Tie, ...]
    #: How ties were broken: None (they are an error), "file-order",
    #: "random:SEED" or "given" (an order passed by the caller).
    tie_order: str | None
    #: Every voter's money at the end of the run.
    money_left: dict[str, float] = field(repr=False)
    #: The order that broke ties (None: none was chosen).
    tie_ranks: tuple[str, ...] | None = field(default=None, repr=False)

    def voter_payments(self) -> dict[str, list[tuple[str, float]]]:
        """Per voter, what it paid for which project, in selection order."""
        paid: dict[str, list[tuple[str, float]]] = {}
        for r in self.rounds:
            for voter, amount in r.payments:
                paid.setdefault(voter, []).append((r.project, amount))
        return paid


def load(path: str | os.PathLike[str], **options: Any) -> pabulib.Election:
    """Read a pabulib ``.pb`` file; see :func:`tarvek.pabulib.load` for the options."""
    return pabulib.load(path, **options)


def count(
    election_or_path: pabulib.Election | str | os.PathLike[str],
    rule: str = "add1",
    ties: str | Sequence[str] | None = None,
) -> Count:
    """Count an election and explain its outcome.

    ``rule``: "add1" (the rule completed with Add1) or "fixed" (the rule alone).
    ``ties``: how to break a tie that survives cost and total utility. None
    (the default) raises :class:`TieError`; "file-order" prefers the project
    listed first in the file; "random:SEED" (or "random", which draws a seed
    and reports it in ``Count.tie_order``) a seeded random order of the
    projects; a sequence of project ids, that order (ids missing from it
    rank last).

    Raises :class:`tarvek.pabulib.PabulibError` for a file that cannot be
    read, :class:`TieError` for an unbroken tie, ValueError for a bad
    ``rule`` or ``ties``, and RuntimeError when the engine fails otherwise.
    """
    election = election_or_path
    if not isinstance(election, pabulib.Election):
        election = pabulib.load(election)
    check_rule(rule)
    order, tie_note = _tie_order(election, ties)

    from . import _engine

    ids = list(election.projects)
    try:
        raw = _engine.explain(
            list(election.voters),
            ids,
            [p.cost for p in election.projects.values()],
            [list(election.approvers[pid]) for pid in ids],
            [election.total_utility[pid] for pid in ids],
            election.budget,
            rule,
            order,
        )
    except RuntimeError as e:
        if str(e).startswith(TIE_PREFIX):
            tied = tied_projects(str(e), election.projects)
            raise TieError(tied, [project_label(election, pid) for pid in tied]) from None
        raise
    return _explain(election, raw, rule, tie_note, order)


def tied_projects(message: str, projects: Collection[str]) -> list[str]:
    """The ids named by the engine's tie message ("Tie-breaking failed: a b ").

    Each id is followed by one blank; ids may hold blanks themselves, so the
    text is split into known project ids where possible, preferring the
    shortest id at each step. Where it cannot be split so, at every blank.
    """
    rest = message[len(TIE_PREFIX):] if message.startswith(TIE_PREFIX) else message
    known = set(projects)
    longest = max((len(pid) for pid in known), default=0)
    # ends[i]: the end of the first id at position i of a complete split of
    # rest[i:] into known ids each followed by a blank (-1: no such split).
    # Filled from the end, so that the split needs no recursion.
    n = len(rest)
    ends = [-1] * n

    def splits(i: int) -> bool:
        return i == n or ends[i] != -1

    for i in range(n - 1, -1, -1):
        end = rest.find(" ", i)
        while end != -1 and end - i <= longest:
            if splits(end + 1) and rest[i:end] in known:
                ends[i] = end
                break
            end = rest.find(" ", end + 1)
    if not splits(0):
        return rest.split()
    found: list[str] = []
    i = 0
    while i < n:
        found.append(rest[i : ends[i]])
        i = ends[i] + 1
    return found


def _tie_order(election: pabulib.Election, ties: str | Sequence[str] | None) -> tuple[list[str] | None, str | None]:
    if ties is None:
        return None, None
    if isinstance(ties, str):
        if ties == "file-order":
            return list(election.projects), ties
        if ties == "random" or ties.startswith("random:"):
            seed_text = ties[len("random:") :] if ":" in ties else str(secrets.randbelow(2**32))
            if not seed_text.isdigit():
                raise ValueError(f"the seed of {ties!r} must be a whole number, as in 'random:7'")
            order = list(election.projects)
            random.Random(int(seed_text)).shuffle(order)
            return order, f"random:{int(seed_text)}"
        raise ValueError(f"ties must be 'file-order', 'random', 'random:SEED' or a list of project ids, not {ties!r}")
    order = [str(pid) for pid in ties]
    unknown = [pid for pid in order if pid not in election.projects]
    if unknown:
        raise ValueError(f"the tie order names projects that are not in the election: {unknown[:5]}")
    return order, "given"


def _explain(
    election: pabulib.Election, raw: dict[str, Any], rule: str, tie_order: str | None, ranks: list[str] | None
) -> Count:
    run_budget: float = raw["budget"]
    # As the engine divides the budget: by the number of voter entries.
    start = run_budget / len(election.voters) if election.voters else 0.0
    money: dict[str, float] = dict.fromkeys(election.voters, start)
    rounds: list[Round] = []
    left_in: dict[str, tuple[int, float]] = {}
    for number, r in enumerate(raw["rounds"], 1):
        for pid, held in r["unaffordable"]:
            left_in[pid] = (number, held)
        pid = r["project"]
        if pid is None:
            continue
        payments: dict[str, float] = {}
        paid_all = 0
        # Money before and after the charge, per entry of the supporter list;
        # a voter listed twice shows the same money twice and pays once.
        for (voter, _), before, after in zip(election.approvers[pid], r["money_before"], r["money_after"], strict=True):
            if voter in payments:
                continue
            payments[voter] = before - after
            money[voter] = after
            if after == 0.0 and before > 0.0:
                paid_all += 1
        paid = 0.0
        for amount in payments.values():
            paid += amount
        tie = Tie(number, tuple(r["tied"]), pid) if r["tied"] else None
        rounds.append(
            Round(
                number=number,
                project=pid,
                cost=election.projects[pid].cost,
                effective_votes=r["count"],
                price=r["price"],
                paid=paid,
                supporters=len(payments),
                paid_all=paid_all,
                tie=tie,
                payments=tuple(payments.items()),
            )
        )

    outcome = tuple(raw["outcome"])
    chosen = set(outcome)
    listed = set(election.voters)
    left_out = []
    for pid, project in election.projects.items():
        if pid in chosen:
            continue
        supporters = election.approvers[pid]
        held = 0.0
        for voter, _ in supporters:  # summed per entry, as the rule tests affordability
            held += money.get(voter, 0.0)
        when = left_in.get(pid)
        if not project.cost > 0.0:
            reason = "cost not positive"
        elif not supporters:
            reason = "no supporter"
        elif not any(voter in listed for voter, _ in supporters):
            reason = "no supporter among the voters"
        elif when is None:
            reason = "no payable share"
        else:
            reason = "unaffordable"
        left_out.append(
            LeftOut(
                project=pid,
                cost=project.cost,
                reason=reason,
                supporters_money=held,
                left_in_round=None if when is None else when[0],
                money_when_left=None if when is None else when[1],
            )
        )

    cost = 0.0
    for pid in outcome:  # in selection order, as the completion measures an outcome
        cost += election.projects[pid].cost
    recorded = election.recorded_outcome
    return Count(
        path=election.path,
        rule=rule,
        budget=election.budget,
        outcome=outcome,
        cost=cost,
        run_budget=run_budget,
        start_money=start,
        recorded=None if recorded is None else tuple(recorded),
        agrees=None if recorded is None else set(recorded) == chosen,
        rounds=tuple(rounds),
        left_out=tuple(left_out),
        ties=tuple(r.tie for r in rounds if r.tie is not None),
        tie_order=tie_order,
        money_left=money,
        tie_ranks=None if ranks is None else tuple(ranks),
    )

