"""The module against the plain Python model in reference.py: on real
elections and on random small instances (same outcome, or the same exception
with the same message)."""

from __future__ import annotations

import math

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import tarvekbindings

import reference

FUNCTIONS = ("equal_shares_utils", "equal_shares_add1")


def outcome(fn, args, **kwargs):
    """The result of a call, or the type and message of what it raised."""
    try:
        return fn(*args, **kwargs)
    except (IndexError, RuntimeError, UnicodeDecodeError) as error:
        return type(error), str(error)


# --- real elections --------------------------------------------------------------
# Approval ballots count 1 per approved project; cumulative ballots count the
# points given (tarvek.pabulib's reading).

UTILS_FILES = [
    "France_Toulouse_2019.pb",  # cumulative
    "Switzerland_Zurich_D10.pb",  # cumulative
    "Worldwide_Mechanical_Turk_Utilities_8.pb",  # cumulative
    "France_Toulouse_2022.pb",
    "Hungary_Budapest_2023_VIII_Jozsefvaros.pb",
    "Netherlands_Amsterdam_166.pb",
    "Netherlands_Amsterdam_179.pb",
    "Netherlands_Assen_2025.pb",
    "Poland_Swiecie_2023.pb",
    "Poland_Wieliczka_2023_Green_Budget.pb",
    "US_Stanford_Dataset_PB_Cambridge_2019_vote_approvals.pb",
    "Worldwide_Mechanical_Turk_Knapsack_8.pb",
]

# The model needs no more than a few seconds for the completion on these.
ADD1_FILES = [
    "Poland_Czestochowa_2020_Grabowka.pb",  # cumulative
    "Switzerland_Zurich_D10.pb",  # cumulative
    "France_Toulouse_2022_1_-_Capitole_Arnaud_Bernard_Carmes.pb",
    "Netherlands_Assen_2024.pb",
    "Netherlands_Assen_2025.pb",
    "Switzerland_Zurich_S5.pb",
    "US_Stanford_Dataset_PB_Chicago_35th_Ward_2019_vote_approvals.pb",
]

# Elections decided with Add1 whose files record the official outcome.
OFFICIAL_ADD1_FILES = [
    "Netherlands_Assen_2024.pb",
    "Netherlands_Assen_2025.pb",
    "Poland_Swiecie_2023.pb",
]


@pytest.mark.parametrize("name", UTILS_FILES)
def test_rule_on_real_elections(pabulib, name):
    args = pabulib(name).arguments()
    got = tarvekbindings.equal_shares_utils(*args)
    assert got == reference.equal_shares_utils(*args)
    assert got, "expected a non-empty outcome"


@pytest.mark.parametrize("name", ADD1_FILES)
def test_completion_on_real_elections(pabulib, name):
    args = pabulib(name).arguments()
    got = tarvekbindings.equal_shares_add1(*args)
    assert got == reference.equal_shares_add1(*args, max_runs=20000)
    cost, budget = args[2], args[5]
    assert sum(cost[p] for p in got) <= budget


@pytest.mark.parametrize("name", OFFICIAL_ADD1_FILES)
def test_completion_gives_the_recorded_official_outcome(pabulib, name):
    election = pabulib(name)
    official = {pid for pid, project in election.projects.items() if project.selected}
    assert official
    assert set(tarvekbindings.equal_shares_add1(*election.arguments())) == official


# --- random small instances ------------------------------------------------------

VOTERS = ["a", "b", "c", b"d", "\u00e9"]
UNLISTED = ["z", b"y"]
PROJECTS = ["P", "Q", "R", b"S", "\u00fc"]


@st.composite
def plain_elections(draw):
    """Elections as they come: whole costs, positive utilities, supporters
    among the voters, total utility = sum of the utilities."""
    voters = draw(st.lists(st.sampled_from(VOTERS), min_size=1, max_size=6))
    projects = draw(st.lists(st.sampled_from(PROJECTS), min_size=1, max_size=6))
    cost, approvers, total_utility = {}, {}, {}
    for p in PROJECTS:
        supporters = draw(st.lists(st.tuples(st.sampled_from(voters), st.integers(1, 3)),
                                   max_size=5))
        cost[p] = float(draw(st.integers(1, 10)))
        approvers[p] = supporters
        total_utility[p] = sum(u for _, u in supporters)
    return voters, projects, cost, approvers, total_utility, float(draw(st.integers(0, 40)))


odd_money = st.sampled_from([0.0, -0.0, -1.0, 0.5, 2.5, 7.25, 1e-300, 1e308,
                             math.nan, math.inf, -math.inf])
money = st.one_of(st.integers(-1, 40).map(float), odd_money, st.floats(0.0, 60.0))
utilities = st.one_of(st.integers(-2, 3), st.sampled_from([2**31 - 1, -(2**31)]))


@st.composite
def odd_elections(draw):
    """Anything goes: odd numbers, unlisted supporters, duplicates, missing
    entries, no voters."""
    voters = draw(st.lists(st.sampled_from(VOTERS), max_size=6))
    projects = draw(st.lists(st.sampled_from(PROJECTS), max_size=6))
    supporter_ids = st.sampled_from(UNLISTED + VOTERS)
    cost, approvers, total_utility = {}, {}, {}
    for p in PROJECTS:
        supporters = draw(st.lists(st.tuples(supporter_ids, utilities), max_size=5))
        total = sum(u for _, u in supporters)
        total = total if -(2**31) <= total < 2**31 else 0
        missing = draw(st.sampled_from([None] * 20 + ["cost", "approvers", "total_utility"]))
        if missing != "cost":
            cost[p] = draw(money)
        if missing != "approvers":
            approvers[p] = supporters
        if missing != "total_utility":
            total_utility[p] = draw(st.one_of(st.just(total), st.integers(-2, 8)))
    return voters, projects, cost, approvers, total_utility, draw(money)


elections = st.one_of(plain_elections(), odd_elections())


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(elections)
def test_rule_agrees_with_reference_on_random_instances(args):
    expected = outcome(reference.equal_shares_utils, args)
    assert outcome(tarvekbindings.equal_shares_utils, args) == expected


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(elections)
def test_completion_agrees_with_reference_on_random_instances(args):
    try:
        expected = outcome(reference.equal_shares_add1, args, max_runs=300)
    except TimeoutError:
        assume(False)
    # Where the plain steps end by themselves, stopping at a saturated run
    # must not change the result.
    try:
        plain = outcome(reference.equal_shares_add1, args, max_runs=300,
                        stop_when_saturated=False)
    except TimeoutError:
        pass
    else:
        assert plain == expected
    assert outcome(tarvekbindings.equal_shares_add1, args) == expected
