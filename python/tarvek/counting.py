"""Counting an election with the explanation of its outcome.

:func:`count` runs the engine (the rule alone, or its Add1 completion), which
tells the run that produced the outcome as it played it, so that every number
of the explanation comes from that very run: per round
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
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from . import pabulib
from .rules import TieError, check_rule, project_label

if TYPE_CHECKING:
    from ._engine import _ExplainedRun as ExplainedRun

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
        run = _engine.explain(
            list(election.voters),
            ids,
            [p.cost for p in election.projects.values()],
            [list(election.approvers[pid]) for pid in ids],
            [election.total_utility[pid] for pid in ids],
            election.budget,
            rule == "add1",
            order,
        )
    except _engine.UnbrokenTie as e:
        raise TieError(e.tied, [project_label(election, pid) for pid in e.tied]) from None
    return _explain(election, run, rule, tie_note, order)


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
    election: pabulib.Election, run: ExplainedRun, rule: str, tie_order: str | None, ranks: list[str] | None
) -> Count:
    rounds = []
    # Every voter keeps its start money until it pays; then what it kept.
    money_left = dict.fromkeys(election.voters, run["start_money"])
    for number, r in enumerate(run["rounds"], 1):
        pid = r["project"]
        money_left.update((voter, kept) for voter, _, kept in r["payments"])
        rounds.append(
            Round(
                number=number,
                project=pid,
                cost=election.projects[pid].cost,
                effective_votes=r["effective_votes"],
                price=r["price"],
                paid=r["paid"],
                supporters=len(r["payments"]),
                paid_all=r["paid_all"],
                tie=Tie(number, tuple(r["tied"]), pid) if r["tied"] else None,
                payments=tuple((voter, amount) for voter, amount, _ in r["payments"]),
            )
        )
    left_out = tuple(
        LeftOut(
            project=x["project"],
            cost=x["cost"],
            reason=x["reason"],
            supporters_money=x["supporters_money"],
            left_in_round=x["left_in_round"],
            money_when_left=x["money_when_left"],
        )
        for x in run["left_out"]
    )
    outcome = tuple(run["outcome"])
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
        run_budget=run["budget"],
        start_money=run["start_money"],
        recorded=None if recorded is None else tuple(recorded),
        agrees=None if recorded is None else set(recorded) == set(outcome),
        rounds=tuple(rounds),
        left_out=left_out,
        ties=tuple(r.tie for r in rounds if r.tie is not None),
        tie_order=tie_order,
        money_left=money_left,
        tie_ranks=None if ranks is None else tuple(ranks),
    )
