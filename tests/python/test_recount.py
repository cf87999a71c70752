"""The exact recount finds where the engine's floating point parts from the
rule's exact arithmetic."""

from __future__ import annotations

import tarvek
from tarvek.pabulib import Election, Project
from tarvek.recount import certify


def election_of(projects: dict[str, float], approvers: dict[str, list[tuple[str, int]]]) -> Election:
    """Three voters who hold 4.1 / 3 each."""
    return Election(
        path="<float>",
        meta={},
        meta_lines={},
        vote_type="cumulative",
        budget=4.1,
        projects={pid: Project(pid, cost, line=k) for k, (pid, cost) in enumerate(projects.items())},
        voters=["v0", "v1", "v2"],
        approvers=approvers,
        total_utility={pid: sum(u for _, u in s) for pid, s in approvers.items()},
    )


def test_recount_names_the_first_selection_that_differs():
    # Each voter holds 4.1 / 3. For P, v0 (utility 2) fails first; then the
    # share of v1 and v2 is (4.1 - 4.1/3) / 2 = 4.1/3 exactly: they can pay,
    # and P wins at count 3. In doubles that share rounds above their money,
    # nobody can pay, and Q (count 1) wins instead.
    election = election_of({"P": 4.1, "Q": 0.5}, {"P": [("v2", 1), ("v1", 1), ("v0", 2)], "Q": [("v0", 1)]})
    result = tarvek.count(election, rule="fixed")
    assert result.outcome == ("Q",)
    verdict = certify(election, result)
    assert not verdict.stands
    assert (verdict.differs_at, verdict.engine_pick, verdict.exact_pick) == (1, "Q", "P")
    assert verdict.exact_outcome == ("P",)


def test_recount_meets_a_tie_the_engine_did_not():
    # P as above: exactly, its count is 3; in doubles nobody can pay. R's
    # supporters hold the same money per utility after the ghost (a supporter
    # who is no voter, and pays nothing): its count is 3 exactly too, with
    # P's cost and total utility. The exact run ties P and R completely.
    election = election_of(
        {"P": 4.1, "R": 4.1},
        {"P": [("v2", 1), ("v1", 1), ("v0", 2)], "R": [("ghost", 1), ("v0", 1), ("v1", 1), ("v2", 1)]},
    )
    result = tarvek.count(election, rule="fixed")
    assert result.outcome == ("R",)
    verdict = certify(election, result)
    assert (verdict.stands, verdict.differs_at, verdict.engine_pick) == (False, 1, "R")
    assert verdict.unbroken_tie == ("P", "R") and verdict.exact_outcome == ()
    assert verdict.text().endswith("the exact recount meets a tie between P, R that no order breaks")
    # With an order to break ties by, the exact run breaks it (P comes first in the file).
    ordered = certify(election, tarvek.count(election, rule="fixed", ties="file-order"))
    assert (ordered.unbroken_tie, ordered.exact_pick) == (None, "P")
