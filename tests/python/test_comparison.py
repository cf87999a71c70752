"""Equal shares beside greedy and the recorded outcome: every figure against
a direct count, voter by voter, on elections written by hand and random ones."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvek import compare, pabulib
from tarvek.greedy import greedy_outcome
from tarvek.voter_groups import MIN_GROUP, grouping

from datadir import real_file


def election_text(projects, ballots, budget, columns=(), selected=None):
    """A .pb file: ``projects`` (id, cost) in file order; ``ballots`` per
    voter {project: points} and, per column of ``columns``, a value."""
    lines = ["META", "key;value", f"budget;{budget}", "vote_type;cumulative", "PROJECTS"]
    lines.append("project_id;cost" + (";selected" if selected is not None else ""))
    for pid, cost in projects:
        mark = f";{int(pid in selected)}" if selected is not None else ""
        lines.append(f"{pid};{cost}{mark}")
    lines += ["VOTES", ";".join(["voter_id", "vote", "points", *columns])]
    for k, (ballot, values) in enumerate(ballots):
        lines.append(";".join([f"v{k}", ",".join(ballot), ",".join(str(u) for u in ballot.values()), *values]))
    return ("\n".join(lines) + "\n").encode()


def direct(election, outcome, members):
    """The figures of one outcome for the voters ``members``, counted voter by voter."""
    support = {pid: dict(election.approvers[pid]) for pid in election.projects}
    rows = []
    for i in members:
        vid = election.voters[i]
        mine = [pid for pid in outcome if vid in support[pid]]
        money = 0.0
        for pid in mine:
            money += election.projects[pid].cost
        rows.append((len(mine), sum(support[pid][vid] for pid in mine), money))
    n = len(rows)

    def mean(k):
        total = 0.0
        for row in rows:
            total += row[k]
        return total / n if n else None

    return {
        "voters": n,
        "with_funded": sum(1 for r in rows if r[0] > 0),
        "means": (mean(0), mean(1), mean(2)),
        "values": [[r[k] for r in rows] for k in range(3)],
    }


def in_bin(value, b):
    return value == b.low if b.low == b.high else b.low < value <= b.high


def check(election, comparison):
    """Every figure of ``comparison`` (for all voters and per group) against the direct count."""
    cases = [(o.figures, o.projects, range(len(election.voters))) for o in comparison.outcomes]
    splits = [t for t in (grouping(c, v) for c, v in election.voter_columns.items()) if t is not None]
    assert [t.column for t in comparison.groups] == [t.column for t in splits]
    for table, split in zip(comparison.groups, splits, strict=True):
        for shown, group in zip(table.groups, split.groups, strict=True):
            assert (shown.label, shown.voters) == (group.label, len(group.members))
            cases += [(f, o.projects, group.members) for f, o in zip(shown.figures, comparison.outcomes, strict=True)]
    for got, projects, members in cases:
        want = direct(election, projects, members)
        assert (got.voters, got.with_funded) == (want["voters"], want["with_funded"])
        assert (got.mean_projects, got.mean_utility, got.mean_money) == want["means"]
        for bins, values in zip((got.projects, got.utility, got.money), want["values"], strict=True):
            assert [b.voters for b in bins] == [sum(1 for x in values if in_bin(x, b)) for b in bins]
            assert sum(b.voters for b in bins) == len(values)  # every voter in exactly one bin
    assert [o.spent for o in comparison.outcomes] == [
        sum(election.projects[p].cost for p in o.projects) for o in comparison.outcomes
    ]


@st.composite
def elections(draw):
    n_projects = draw(st.integers(1, 6))
    projects = [(f"p{k}", draw(st.sampled_from([0, 1, 2.5, 3, 10, 40, 0.1]))) for k in range(n_projects)]
    ids = [pid for pid, _ in projects]
    ballots = []
    for _ in range(draw(st.integers(0, 60))):
        chosen = draw(st.lists(st.sampled_from(ids), unique=True, max_size=n_projects))
        points = {pid: draw(st.integers(0, 4)) for pid in chosen}
        age = draw(st.sampled_from(["17", "23", "40", "71", "", "x"]))
        ballots.append((points, (age, draw(st.sampled_from(["F", "M", "<b>n</b>"])))))
    selected = draw(st.none() | st.sets(st.sampled_from(ids)))
    budget = draw(st.sampled_from([0, 5, 12.5, 50]))
    return pabulib.parse(election_text(projects, ballots, budget, ("age", "sex"), selected))


@settings(max_examples=80, deadline=None)
@given(elections())
def test_figures_match_a_direct_count_on_random_elections(election):
    check(election, compare(election, rule="fixed", ties="file-order"))


def test_greedy_and_figures_on_an_election_written_by_hand():
    # Votes: a 9, b 9 (a listed first), c 5, d 4, e 0. Budget 10.
    ballots = [
        ({"a": 3, "b": 2, "c": 2}, ()), ({"a": 3, "b": 3, "d": 4}, ()), ({"a": 3, "b": 4, "c": 3, "e": 0}, ()),
        ({}, ()),
    ]
    text = election_text([("b", 6), ("a", 6), ("c", 3), ("d", 1), ("e", 0)], ballots, 10, selected={"a", "d"})
    # b is listed first, so among the two projects with 9 votes it goes first;
    # a no longer fits, c (3) does, d (1) too; e has no votes and is not funded
    # though it costs nothing.
    election = pabulib.parse(text)
    assert greedy_outcome(election) == ["b", "c", "d"]
    comparison = compare(election, ["a", "c"])
    assert [(o.key, o.projects, o.spent) for o in comparison.outcomes] == [
        ("equal_shares", ("a", "c"), 9.0), ("greedy", ("b", "c", "d"), 10.0), ("recorded", ("a", "d"), 7.0),
    ]
    greedy = comparison.outcome("greedy").figures
    # Voters 0-2 each support b and one of c, d; voter 3 voted for nothing.
    assert (greedy.with_funded, greedy.share_with_funded) == (3, 0.75)
    assert [b.voters for b in greedy.projects] == [1, 0, 3]  # 0, 1, 2 funded projects
    assert greedy.mean_money == (6 + 3 + 6 + 1 + 6 + 3 + 0) / 4
    assert [(p.project_id, p.funded) for p in comparison.projects][:2] == [
        ("b", (False, True, False)), ("a", (True, False, True)),
    ]
    check(election, comparison)


def test_small_groups_are_merged_into_other():
    ages = ["30"] * MIN_GROUP + [" 40"] * (MIN_GROUP + 1) + ["16"] * 3 + ["²", "x"] + ["90"] * (MIN_GROUP - 1)
    table = grouping("age", ages)
    # 65 and over (19) is too small and joins under 18 (3) and the unreadable
    # ages (2; "²" is a digit to str.isdigit, not to int) in "other"; the
    # bands keep the order of age.
    assert [(g.label, len(g.members)) for g in table.groups] == [
        ("25–34", MIN_GROUP), ("35–44", MIN_GROUP + 1), ("other", MIN_GROUP + 4),
    ]
    # "other" would hold a single voter: the smallest group joins it.
    table = grouping("sex", ["F"] * (2 * MIN_GROUP) + ["M"] * MIN_GROUP + ["X"])
    assert [(g.label, len(g.members)) for g in table.groups] == [("F", 2 * MIN_GROUP), ("other", MIN_GROUP + 1)]
    assert table.groups[1].members == tuple(range(2 * MIN_GROUP, 3 * MIN_GROUP + 1))
    # A column that does not split the voters says nothing.
    assert grouping("voting_method", ["internet"] * 50 + ["paper"] * 3) is None


@pytest.mark.parametrize("column", ["age", "neighborhood"])
def test_no_group_shown_is_smaller_than_the_minimum(column):
    import random

    rng = random.Random(column)
    for _ in range(200):
        values = [str(rng.choice([15, 20, 30, 50, 70])) for _ in range(rng.randrange(0, 120))]
        table = grouping(column, values)
        if table is not None:
            assert all(len(g.members) >= MIN_GROUP for g in table.groups)
            assert sorted(i for g in table.groups for i in g.members) == list(range(len(values)))


@pytest.mark.parametrize("name", ["Poland_Warszawa_2019_Ursynow.pb", "Poland_Warszawa_2020_Praga-Poludnie.pb"])
def test_greedy_reproduces_the_outcomes_recorded_as_greedy(name):
    # Both files say their outcome was decided by "greedy", and record it.
    election = pabulib.load(real_file(name), voter_columns=False)
    assert election.meta["rule"] == "greedy"
    assert sorted(greedy_outcome(election)) == sorted(election.recorded_outcome)
