"""The exact recount finds where the engine's floating point parts from the
rule's exact arithmetic."""

from __future__ import annotations

import tarvek
from tarvek.pabulib import Election, Project
from tarvek.recount import certify


def test_recount_names_the_first_selection_that_differs():
    # Each voter holds 4.1 / 3. For P, v0 (utility 2) fails first; then the
    # share of v1 and v2 is (4.1 - 4.1/3) / 2 = 4.1/3 exactly: they can pay,
    # and P wins at count 3. In doubles that share rounds above their money,
    # nobody can pay, and Q (count 1) wins instead.
    election = Election(
        path="<float>",
        meta={},
        meta_lines={},
        vote_type="cumulative",
        budget=4.1,
        projects={"P": Project("P", 4.1, line=0), "Q": Project("Q", 0.5, line=1)},
        voters=["v0", "v1", "v2"],
        approvers={"P": [("v2", 1), ("v1", 1), ("v0", 2)], "Q": [("v0", 1)]},
        total_utility={"P": 4, "Q": 1},
    )
    result = tarvek.count(election, rule="fixed")
    assert result.outcome == ("Q",)
    verdict = certify(election, result)
    assert not verdict.stands
    assert (verdict.differs_at, verdict.engine_pick, verdict.exact_pick) == (1, "Q", "P")
    assert verdict.exact_outcome == ("P",)
