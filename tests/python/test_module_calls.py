"""What a call returns and raises: fresh result lists, untouched arguments, and
the rule's failures as Python exceptions."""

from __future__ import annotations

import copy

import pytest

import tarvekbindings

FUNCTIONS = ("equal_shares_utils", "equal_shares_add1")


@pytest.fixture(params=FUNCTIONS)
def fn(request):
    return getattr(tarvekbindings, request.param)


def tie(first="B", second="C"):
    """B and C both count 1 in the first round, with equal cost and equal total
    utility; A is dearer and never ties."""
    return (
        ["x", "y"],
        ["A", first, second],
        {"A": 9.0, "B": 1.0, "C": 1.0},
        {"A": [("x", 1)], "B": [("x", 1)], "C": [("y", 1)]},
        {"A": 1, "B": 1, "C": 1},
        2.0,
    )


def test_worked_evaluation():
    # Three voters with 10.0 each; z (utility 2) cannot pay 15.0, x and y pay
    # 10.0 each, so P counts 3 and every voter ends with nothing: Q (cost 1)
    # is no longer affordable.
    args = (["x", "y", "z"], ["P", "Q"], {"P": 30.0, "Q": 1.0},
            {"P": [("x", 1), ("y", 1), ("z", 2)], "Q": [("z", 1)]}, {"P": 4, "Q": 1}, 30.0)
    assert tarvekbindings.equal_shares_utils(*args) == ["P"]
    # 30.0 spent: Q does not fit any more, so the completion stops at once.
    assert tarvekbindings.equal_shares_add1(*args) == ["P"]


def test_every_call_returns_a_new_list(fn, small_election):
    first = fn(*small_election)
    second = fn(*small_election)
    assert first == second
    assert first is not second
    first.append("changed")
    first[0] = "Z"
    assert fn(*small_election) == second


@pytest.mark.parametrize("case", ["ok", "missing", "tie"])
def test_arguments_are_never_changed(fn, small_election, case):
    voters, projects, cost, approvers, total_utility, budget = small_election
    expected = None
    if case == "missing":
        projects = projects + ["nowhere"]
        expected = IndexError
    elif case == "tie":
        voters, projects, cost, approvers, total_utility, budget = tie()
        budget = 3.0
        expected = RuntimeError
    # Mixed id kinds and nested mutable containers, to catch any write-back.
    voters = voters + [bytearray(b"w")]
    approvers = dict(approvers)
    approvers[projects[0]] = approvers[projects[0]] + [[bytearray(b"w"), 2]]
    args = (voters, projects, cost, approvers, total_utility, budget)
    before = copy.deepcopy(args)
    identities = [id(a) for a in args]
    if expected is None:
        assert isinstance(fn(*args), list)
    else:
        with pytest.raises(expected):
            fn(*args)
    assert args == before
    assert [id(a) for a in args] == identities
    assert [type(v) for v in args[0]] == [type(v) for v in before[0]]


def test_missing_keys_raise_index_error(fn):
    base = (["x"], ["A"], {"A": 1.0}, {"A": [("x", 1)]}, {"A": 1}, 1.0)
    assert fn(*base) == ["A"]
    broken = [
        (["x"], ["A", "B"], {"A": 1.0}, {"A": [("x", 1)]}, {"A": 1}, 1.0),
        (["x"], ["A"], {"A": 1.0}, {}, {"A": 1}, 1.0),
        (["x"], ["A"], {"A": 1.0}, {"A": [("x", 1)]}, {}, 1.0),
        (["x"], [b"A"], {"A": 1.0}, {"A": [("x", 1)]}, {b"B": 1}, 1.0),
    ]
    for args in broken:
        with pytest.raises(IndexError) as info:
            fn(*args)
        assert str(info.value) == "_Map_base::at"
        assert type(info.value) is IndexError


def test_entries_needed_only_for_real_candidates(fn):
    # A costs nothing: no supporter list and no total utility needed. B has
    # no supporters: no total utility needed. Neither is ever selected.
    args = (["x"], ["A", "B", "C"], {"A": 0.0, "B": 1.0, "C": 1.0}, {"B": [], "C": [("x", 1)]},
            {"C": 1}, 2.0)
    assert fn(*args) == ["C"]


def test_unresolved_tie_raises_runtime_error_naming_the_ids_in_order(fn):
    with pytest.raises(RuntimeError) as info:
        fn(*tie())
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Tie-breaking failed: B C "
    with pytest.raises(RuntimeError) as info:
        fn(*tie("C", "B"))
    assert str(info.value) == "Tie-breaking failed: C B "


def test_tie_is_broken_by_cost_then_total_utility(fn):
    args = list(tie())
    args[2] = {"A": 9.0, "B": 1.0, "C": 0.5}
    assert fn(*args) == ["C", "B"]
    # Equal cost and equal count 2, total utilities 2 and 3: C's count is 2
    # because its supporter z holds nothing and drops out of the payment.
    for projects in (["B", "C"], ["C", "B"]):
        args = (["x", "y"], projects, {"B": 1.0, "C": 1.0},
                {"B": [("x", 2)], "C": [("z", 1), ("y", 2)]}, {"B": 2, "C": 3}, 2.0)
        assert fn(*args) == ["C", "B"]


def test_selected_id_that_is_not_utf8_raises_unicode_decode_error(fn):
    args = (["x"], [b"\xff"], {b"\xff": 1.0}, {b"\xff": [("x", 1)]}, {b"\xff": 1}, 1.0)
    with pytest.raises(UnicodeDecodeError) as info:
        fn(*args)
    assert info.value.encoding == "utf-8"
    assert info.value.object == b"\xff"
    # Invalid UTF-8 elsewhere (voters, unselected projects) is no problem.
    args = ([b"\xfe"], [b"\xff", "A"], {b"\xff": 5.0, "A": 1.0},
            {b"\xff": [(b"\xfe", 1)], "A": [(b"\xfe", 1)]}, {b"\xff": 1, "A": 1}, 1.0)
    assert fn(*args) == ["A"]
