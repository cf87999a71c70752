"""Greedy by votes: the rule most cities use to decide their budget vote.

The projects are taken in order of their total utility (their votes, or
points), highest first; among equals in the order the file lists them. Each
project is funded when its cost fits into what is left of the budget, and
passed over otherwise; the walk goes on to the end of the list, so a cheaper
project further down can still use money a dearer one could not. A project
that nobody supports (total utility 0) is never funded.

"Fits" is measured as the completion measures an outcome: the costs of the
projects funded so far, summed in the order they were funded, plus the
project's cost, not above the budget.
"""

from __future__ import annotations

from .pabulib import Election

__all__ = ["greedy_outcome"]


def greedy_outcome(election: Election) -> list[str]:
    """The projects greedy by votes funds, in the order it funds them."""
    utility = election.total_utility
    # sorted() is stable: projects with equal votes keep the file's order.
    ranked = sorted(election.projects, key=lambda pid: -utility[pid])
    funded: list[str] = []
    spent = 0.0
    for pid in ranked:
        if utility[pid] <= 0:
            break  # the rest has no support either
        cost = election.projects[pid].cost
        if spent + cost <= election.budget:
            funded.append(pid)
            spent += cost
    return funded
