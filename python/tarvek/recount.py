"""Exact recount of the run that selected an outcome.

The engine computes in IEEE doubles. :func:`certify` replays the same run
(same budget, same voters' start money, same tie order) in exact rational
arithmetic with :class:`fractions.Fraction`, and compares the selections one
by one: the outcome stands when the exact run selects the same projects in
the same order; otherwise the verdict names the first selection where they
part. Every input number is a double, so its Fraction is exact; only the
rule's own arithmetic differs.

Where it is fast: voters who have paid for the same projects hold the same
money, so a run keeps one Fraction per such class of voters and handles the
supporters of a project class by class. Within a class (same money, same
utility) every supporter has the same money per utility, and in exact
arithmetic those either all pay or all fail: if one fails at share s > m/u,
the next share, (s*U - m) / (U - u), is larger still. So the order among
equal keys, which the engine keeps by list position, cannot change a count.
"""

from __future__ import annotations

from dataclasses import dataclass
from fractions import Fraction

from .counting import Count
from .pabulib import Election

__all__ = ["Verdict", "certify"]


@dataclass(frozen=True)
class Verdict:
    """The result of an exact recount."""

    #: True when the exact run selects the same projects in the same order.
    stands: bool
    #: The first selection (1-based) where the exact run differs, else None.
    differs_at: int | None
    #: What the engine and the exact run select there (None: nothing more).
    engine_pick: str | None
    exact_pick: str | None
    #: The exact run's selections, in order.
    exact_outcome: tuple[str, ...]
    #: Set when the exact run meets a tie that no order breaks.
    unbroken_tie: tuple[str, ...] | None = None

    def text(self) -> str:
        if self.stands:
            return "stands: the exact recount selects the same projects in the same order"
        if self.unbroken_tie is not None:
            return (
                f"differs from selection {self.differs_at} on: the exact recount meets a tie "
                f"between {', '.join(self.unbroken_tie)} that no order breaks"
            )
        engine = self.engine_pick if self.engine_pick is not None else "nothing more"
        exact = self.exact_pick if self.exact_pick is not None else "nothing more"
        return (
            f"differs from selection {self.differs_at} on: the engine selects {engine}, "
            f"the exact recount {exact}"
        )


def certify(election: Election, result: Count) -> Verdict:
    """Recount ``result``'s run of ``election`` exactly; see the module's text."""
    exact, tie = _exact_run(election, Fraction(result.run_budget), result.tie_ranks)
    engine = list(result.outcome)
    for k in range(max(len(engine), len(exact)) + (tie is not None)):
        mine = engine[k] if k < len(engine) else None
        theirs = exact[k] if k < len(exact) else None
        if mine != theirs or (theirs is None and tie is not None):
            return Verdict(False, k + 1, mine, theirs, tuple(exact), tie)
    return Verdict(True, None, None, None, tuple(exact))


def _exact_run(
    election: Election, budget: Fraction, tie_ranks: tuple[str, ...] | None
) -> tuple[list[str], tuple[str, ...] | None]:
    """The selections of the rule in exact arithmetic, and an unbroken tie
    that stopped it (or None)."""
    listed = dict.fromkeys(election.voters)
    start = budget / len(election.voters) if election.voters else Fraction(0)
    zero = Fraction(0)
    money: dict[str, Fraction] = {}
    for voter in listed:
        money[voter] = start
    rank = {pid: k for k, pid in enumerate(tie_ranks or ())}

    candidates: list[str] = []
    for pid, project in election.projects.items():
        if project.cost > 0.0 and election.approvers[pid] and pid not in candidates:
            candidates.append(pid)
    position = {pid: k for k, pid in enumerate(candidates)}
    cost = {pid: Fraction(election.projects[pid].cost) for pid in candidates}
    total = {pid: election.total_utility[pid] for pid in candidates}
    for pid in candidates:
        for voter, _ in election.approvers[pid]:
            money.setdefault(voter, zero)  # supporters who are not voters hold nothing

    # The last effective count of a candidate bounds its next one: money only
    # decreases (utilities are not negative), so the engine's lazy scan is
    # exact here too.
    bound: dict[str, Fraction | None] = {pid: Fraction(total[pid]) for pid in candidates}
    remaining = list(candidates)
    selected: list[str] = []
    while remaining:
        remaining.sort(key=lambda p: (_neg(bound[p]), position[p]))
        best: list[str] = []
        best_count = zero
        leaving: set[str] = set()
        for pid in remaining:
            b = bound[pid]
            if b is not None and best_count > b:
                break
            verdict, count = _evaluate(election.approvers[pid], cost[pid], total[pid], money)
            if verdict == "unaffordable":
                leaving.add(pid)
            elif verdict == "counted":
                bound[pid] = count
                if count > 0 and count > best_count:
                    best, best_count = [pid], count
                elif count > 0 and count == best_count:
                    best.append(pid)
        if not best:
            break
        lowest = min(cost[p] for p in best)
        best = [p for p in best if cost[p] == lowest]
        highest = max(total[p] for p in best)
        best = [p for p in best if total[p] == highest]
        if len(best) > 1 and tie_ranks is None:
            return selected, tuple(best)
        winner = min(best, key=lambda p: (rank.get(p, len(rank) + position[p])))
        leaving.add(winner)
        remaining = [p for p in remaining if p not in leaving]
        selected.append(winner)
        _charge(election.approvers[winner], cost[winner] / best_count, money)
    return selected, None


def _neg(bound: Fraction | None) -> Fraction:
    return -bound if bound is not None else Fraction(0)


def _evaluate(
    supporters: list[tuple[str, int]], cost: Fraction, total: int, money: dict[str, Fraction]
) -> tuple[str, Fraction]:
    """("counted", the effective vote count), ("unaffordable", 0) or
    ("no payer", 0) when the money suffices but nobody can pay a share."""
    held_of: dict[tuple[int, int], Fraction] = {}
    members: dict[tuple[int, int], int] = {}
    for voter, utility in supporters:
        held = money[voter]
        key = (id(held), utility)
        held_of[key] = held
        members[key] = members.get(key, 0) + 1
    held_total = sum((held_of[k] * members[k] for k in held_of), Fraction(0))
    if cost > held_total:
        return "unaffordable", Fraction(0)
    utility_left = Fraction(total)
    paid = Fraction(0)
    for key in sorted(held_of, key=lambda k: _key_order(held_of[k], k[1])):
        held, utility = held_of[key], key[1]
        if utility_left <= 0:
            return "counted", Fraction(0)
        share = (cost - paid) / utility_left
        if share * utility > held:
            paid += held * members[key]
            utility_left -= utility * members[key]
            continue
        return "counted", (cost / share if share > 0 else Fraction(0))
    return "no payer", Fraction(0)


def _key_order(held: Fraction, utility: int) -> tuple[int, Fraction]:
    """money / utility, with +infinity and then NaN (utility 0) last."""
    if utility > 0:
        return (0, held / utility)
    return (1, Fraction(0)) if held > 0 else (2, Fraction(0))


def _charge(supporters: list[tuple[str, int]], price: Fraction, money: dict[str, Fraction]) -> None:
    # Voters of one money class who pay for the same utility land in one new
    # class. The old money is kept in the memo so that its id stays unique.
    after: dict[tuple[int, int], tuple[Fraction, Fraction]] = {}
    for voter, utility in supporters:
        held = money[voter]
        key = (id(held), utility)
        memo = after.get(key)
        if memo is None:
            payment = price * utility
            memo = (held, held - payment if payment <= held else Fraction(0))
            after[key] = memo
        money[voter] = memo[1]
