"""Which Python values each argument accepts, and what the engine makes of them.

Accepted values are checked through the result: a converted argument must give
the same outcome as its plain equivalent (and values that matter are chosen so
that a wrong conversion changes the outcome)."""

from __future__ import annotations

import collections
import subprocess
import sys
import types
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvekbindings

FUNCTIONS = ("equal_shares_utils", "equal_shares_add1")
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


class Seq:
    """A sequence that is neither list nor tuple."""

    def __init__(self, *items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Inty:
    """Not a float, but int() accepts it."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class DictSub(dict):
    """A dict subclass whose overridden methods must not be consulted."""

    def items(self):
        raise AssertionError("items() called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def keys(self):
        raise AssertionError("keys() called")

    def copy(self):
        raise AssertionError("copy() called")


def ranking(first_total, second_total=2, **overrides):
    """One voter, two projects it can afford both of; the project with the
    higher total utility is selected first (a non-positive one never)."""
    args = {
        "voters": ["x"],
        "projects": ["A", "B"],
        "cost": {"A": 3.0, "B": 3.0},
        "approvers": {"A": [("x", 1)], "B": [("x", 1)]},
        "total_utility": {"A": first_total, "B": second_total},
        "total_budget": 100.0,
    }
    args.update(overrides)
    return tuple(args.values())


def utils(*args):
    return tarvekbindings.equal_shares_utils(*args)


# --- sequences and ids ---------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
def test_sequence_kinds_and_id_kinds_are_interchangeable(name, small_election):
    fn = getattr(tarvekbindings, name)
    voters, projects, cost, approvers, total_utility, budget = small_election
    expected = fn(*small_election)
    assert expected == (["B"] if name == "equal_shares_utils" else ["B", "A"])
    variants = [
        (tuple(voters), tuple(projects), cost, {p: tuple(s) for p, s in approvers.items()}),
        (Seq(*voters), Seq(*projects), cost, {p: Seq(*s) for p, s in approvers.items()}),
        # pairs as lists and as custom sequences
        (voters, projects, cost, {p: [list(e) for e in s] for p, s in approvers.items()}),
        (voters, projects, cost, {p: [Seq(*e) for e in s] for p, s in approvers.items()}),
        # ids as bytes, bytearray and subclasses, mixed per position
        (
            [b"x", bytearray(b"y")],
            [StrSub("A"), BytesSub(b"B")],
            {b"A": 6.0, BytesSub(b"B"): 4.0},
            {"A": [(bytearray(b"x"), 1)], b"B": [(StrSub("y"), 1)]},
        ),
    ]
    for v, p, c, a in variants:
        result = fn(v, p, c, a, total_utility, budget)
        assert result == expected
        assert all(type(x) is str for x in result)


def test_bytes_ids_come_back_as_str():
    result = utils([b"\xc3\xa9"], [bytearray("\u00e9t\u00e9".encode())], {"\u00e9t\u00e9": 1.0},
                   {b"\xc3\xa9t\xc3\xa9": [("\u00e9", 1)]}, {"\u00e9t\u00e9": 1}, 1.0)
    assert result == ["\u00e9t\u00e9"]
    assert type(result[0]) is str


def test_nul_characters_stay_in_ids():
    # "A\0" and "A" are different projects; only "A\0" is affordable.
    args = (["x"], ["A\0", "A"], {"A\0": 1.0, "A": 2.0}, {"A\0": [("x", 1)], "A": [("x\0", 1)]},
            {"A\0": 1, "A": 5}, 1.5)
    assert utils(*args) == ["A\0"]


@pytest.mark.parametrize("position", [0, 1])
@pytest.mark.parametrize("value", ["xy", b"xy", StrSub("xy"), None, {"x": 1}, 5],
                         ids=["str", "bytes", "strsub", "None", "dict", "int"])
def test_id_lists_reject_non_sequences_and_strings(position, value):
    args = list(ranking(3))
    args[position] = value
    for name in FUNCTIONS:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(tarvekbindings, name)(*args)


@pytest.mark.parametrize(
    "bad",
    [
        {"voters": [None]},
        {"voters": [1]},
        {"voters": ["x", "\ud800"]},
        {"projects": [b"A", None]},
        {"cost": {None: 1.0}},
        {"cost": {"A": 3.0, "B": None}},
        {"approvers": {"A": None, "B": [("x", 1)]}},
        {"approvers": {"A": [("x", 1)], "B": [None]}},
        {"approvers": {"A": [("x", 1)], "B": [(None, 1)]}},
        {"approvers": {"A": [("x", 1)], "B": [("x", None)]}},
        {"approvers": {"A": [("x", 1)], "B": [("x",)]}},
        {"approvers": {"A": [("x", 1)], "B": [("x", 1, 1)]}},
        # a pair whose extra items, read on, would make a well-formed list for B
        {"approvers": {"A": [("x", 1, "B", [("x", 1)])]}},
        {"approvers": {"A": [("x", 1)], "B": "x1"}},
        {"approvers": {"A": [("x", 1)], "\udfff": [("x", 1)]}},
        {"total_utility": {"A": 3, "B": None}},
        {"total_budget": None},
    ],
)
def test_items_keys_and_values_are_checked(bad):
    args = ranking(3, **bad)
    for name in FUNCTIONS:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(tarvekbindings, name)(*args)


# --- dicts -----------------------------------------------------------------------


@pytest.mark.parametrize("position", [2, 3, 4])
@pytest.mark.parametrize("make", [collections.OrderedDict, lambda d: collections.defaultdict(int, d),
                                  DictSub], ids=["ordered", "default", "subclass"])
def test_dict_subclasses_are_read_as_plain_dicts(position, make):
    args = list(ranking(3))
    expected = utils(*args)
    args[position] = make(args[position])
    assert utils(*args) == expected == ["A", "B"]


@pytest.mark.parametrize("position", [2, 3, 4])
@pytest.mark.parametrize("make", [types.MappingProxyType, lambda d: list(d.items())],
                         ids=["mappingproxy", "pairs"])
def test_other_mappings_are_rejected(position, make):
    args = list(ranking(3))
    args[position] = make(args[position])
    for name in FUNCTIONS:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(tarvekbindings, name)(*args)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_a_str_and_a_bytes_key_for_one_id_keep_the_first(name):
    fn = getattr(tarvekbindings, name)
    args = list(ranking(3))
    # x holds 6.0: A at 3.0 is selected first (total utility 3 against 2), A at
    # 500.0 is unaffordable.
    args[5] = 6.0
    args[2] = {"A": 3.0, b"A": 500.0, "B": 3.0}
    assert fn(*args) == ["A", "B"]
    args[2] = {b"A": 500.0, "A": 3.0, "B": 3.0}
    assert fn(*args) == ["B"]
    # The same for the supporter lists and the total utilities.
    args[2] = {"A": 3.0, "B": 3.0}
    args[3] = {b"B": [("x", 1)], "B": [("nobody", 1)], "A": [("x", 1)]}
    args[4] = {b"A": 1, "A": 3, "B": 2}
    assert fn(*args) == ["B", "A"]


# --- integers --------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, first",
    [
        (3, ["A", "B"]),
        (1, ["B", "A"]),
        (True, ["B", "A"]),
        (Index(3), ["A", "B"]),
        (Inty(3), ["A", "B"]),
        (INT32_MAX, ["A", "B"]),
        (INT32_MIN, ["B"]),
        (0, ["B"]),
    ],
    ids=["int", "smaller", "True", "__index__", "__int__", "max", "min", "zero"],
)
def test_total_utility_accepts_integers(value, first):
    assert utils(*ranking(value)) == first


@pytest.mark.parametrize(
    "value", [3.0, 2.5, float("nan"), type("F", (float,), {})(3.0), Floaty(3.0), "3",
              INT32_MAX + 1, INT32_MIN - 1, 2**64, Index(2**31), Index(-(2**31) - 1)],
    ids=["3.0", "2.5", "nan", "floatsub", "__float__", "str", "2**31", "-2**31-1", "2**64",
         "index-big", "index-small"],
)
def test_integers_reject_floats_strings_and_out_of_range(value):
    for args in (ranking(value),
                 ranking(3, approvers={"A": [("x", value)], "B": [("x", 1)]})):
        for name in FUNCTIONS:
            with pytest.raises(TypeError, match="incompatible function arguments"):
                getattr(tarvekbindings, name)(*args)


def test_conversion_errors_count_as_rejection():
    class RaisingIndex:
        def __index__(self):
            raise ZeroDivisionError("boom")

    class RaisingFloat:
        def __float__(self):
            raise ZeroDivisionError("boom")

    for args in (ranking(RaisingIndex()), ranking(3, total_budget=RaisingFloat()),
                 ranking(3, cost={"A": RaisingFloat(), "B": 1.0})):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            utils(*args)


@pytest.mark.parametrize("position", range(6))
def test_none_is_rejected_in_every_position(position):
    args = list(ranking(3))
    args[position] = None
    for name in FUNCTIONS:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(tarvekbindings, name)(*args)


def test_conversion_stops_at_the_first_rejected_argument():
    touched = []

    class Watched:
        def __index__(self):
            touched.append("index")
            return 1

        def __float__(self):
            touched.append("float")
            return 1.0

    with pytest.raises(TypeError):
        utils(None, ["A"], {"A": Watched()}, {"A": [("x", Watched())]}, {"A": Watched()},
              Watched())
    assert touched == []


@pytest.mark.parametrize("value", [1, True, Index(1), Inty(1), INT32_MIN, INT32_MAX],
                         ids=["int", "True", "__index__", "__int__", "min", "max"])
def test_utilities_accept_integers(value):
    args = ranking(3, approvers={"A": [("x", value)], "B": [("x", 1)]})
    assert utils(*args) == utils(*ranking(3, approvers={"A": [("x", int(value))],
                                                        "B": [("x", 1)]}))


# --- reals -----------------------------------------------------------------------


@pytest.mark.parametrize("budget", [6, True, 6.0, Floaty(6.0), Index(6), 2**60],
                         ids=["int", "bool", "float", "__float__", "__index__", "2**60"])
def test_money_accepts_ints_floats_and_number_objects(budget):
    expected = utils(*ranking(3, total_budget=float(budget)))
    assert utils(*ranking(3, total_budget=budget)) == expected
    cost = {"A": 3, "B": Floaty(3.0)}
    assert utils(*ranking(3, total_budget=budget, cost=cost)) == expected


def test_money_keeps_nan_and_infinities():
    nan, inf = float("nan"), float("inf")
    # A NaN cost is no candidate; an infinite cost is more than finite money.
    assert utils(*ranking(3, cost={"A": nan, "B": 3.0})) == ["B"]
    assert utils(*ranking(3, cost={"A": inf, "B": 3.0})) == ["B"]
    assert utils(*ranking(3, total_budget=-inf)) == []
    assert utils(*ranking(3, total_budget=inf)) == ["A", "B"]
    # A NaN budget fails no comparison: every supporter counts as paying.
    assert utils(*ranking(3, total_budget=nan)) == ["A", "B"]


@pytest.mark.parametrize("value", ["6", b"6", None, 10**400, [6.0], 1j],
                         ids=["str", "bytes", "None", "huge-int", "list", "complex"])
def test_money_rejects_non_numbers_and_huge_ints(value):
    for args in (ranking(3, total_budget=value), ranking(3, cost={"A": value, "B": 3.0})):
        for name in FUNCTIONS:
            with pytest.raises(TypeError, match="incompatible function arguments"):
                getattr(tarvekbindings, name)(*args)


class Unreadable(LookupError):
    pass


def test_reading_a_broken_sequence_passes_its_error_through():
    class BrokenLen(Seq):
        def __len__(self):
            raise Unreadable("no length")

    class BrokenItem(Seq):
        def __getitem__(self, i):
            raise Unreadable("no item")

    for broken in (BrokenLen("x"), BrokenItem("x")):
        for args in (ranking(3, voters=broken),
                     ranking(3, approvers={"A": broken, "B": [("x", 1)]})):
            with pytest.raises(Unreadable):
                utils(*args)


# --- plain and general readings --------------------------------------------------

class Listed(list):
    pass


class Keyed(dict):
    pass


def disguised(args):
    """The same election in containers that are not plain built-ins: every
    argument is then read item by item, whatever the interpreter."""
    voters, projects, cost, approvers, total_utility, budget = args
    return (Listed(voters), Listed(projects), Keyed(cost),
            Keyed({p: Listed(s) for p, s in approvers.items()}), Keyed(total_utility), budget)


def outcome(args):
    try:
        return tarvekbindings.equal_shares_utils(*args)
    except (TypeError, IndexError, RuntimeError, UnicodeDecodeError) as error:
        return type(error), str(error).split("\nInvoked with")[0]


# Mostly ids and numbers that plain readings take, now and then one they refuse.
rare = st.integers(0, 19).map(lambda n: n == 0)
plain_ids = st.one_of(st.sampled_from(["a", "b", "\u00e9", "x\0", "\u4e2d\u6587", "\U0001f600", ""]),
                      st.text(max_size=3), rare.map(lambda odd: "\ud800" if odd else "a"))


@st.composite
def plain_elections(draw):
    def number(values, odd):
        return draw(st.sampled_from(odd)) if draw(rare) else draw(st.sampled_from(values))

    voters = draw(st.lists(plain_ids, min_size=1, max_size=6))
    projects = draw(st.lists(plain_ids, min_size=1, max_size=5))
    keys = projects + draw(st.lists(plain_ids, max_size=2))
    cost = {p: number([1.0, 2.5, 4.0, 0.0], [-1.0, 3, True, 2**53 + 1, 2**1024]) for p in keys if not draw(rare)}
    supporter = st.one_of(st.sampled_from(voters), plain_ids)
    # Pairs and lists as tuples or lists; now and then a pair of three items.
    shape = st.sampled_from([tuple, tuple, list])
    approvers = {p: draw(shape)(draw(shape)([draw(supporter), number([1, 2, 3], [0, -2, INT32_MAX, 2**31, True])]
                                            + ([1] if draw(rare) else []))
                                for _ in range(draw(st.integers(0, 4)))) for p in keys if not draw(rare)}
    total_utility = {p: number([1, 2, 5], [0, INT32_MIN, 2**31, True]) for p in keys if not draw(rare)}
    budget = draw(st.sampled_from([0.0, 3.0, 10.0, 7]))
    return voters, projects, cost, approvers, total_utility, budget


@settings(max_examples=120, deadline=None)
@given(args=plain_elections())
def test_plain_arguments_are_read_as_any_other_arguments(args):
    """Plain built-in arguments may be read as a whole (on PyPy, as a few big
    objects); the result, or the error, is the one of the item by item
    reading: ids with NULs, non-ASCII and lone surrogates, numbers out of
    range, ints among float costs (also beyond 2**53), pairs and supporter
    lists as lists or tuples, pairs of three items, missing and unlisted
    keys. On PyPy a small election is read from its marshalled bytes until the
    process has read many (the test below); with 400 more voters the same
    arguments go through the packing, which must read them alike too."""
    assert outcome(args) == outcome(disguised(args))
    voters, *rest = args
    many = (voters + [f"more {i}" for i in range(400)], *rest)
    assert outcome(many) == outcome(disguised(many))


@pytest.mark.skipif(sys.implementation.name != "pypy", reason="only PyPy reads small elections through marshal")
def test_small_elections_are_read_alike_in_a_new_process_and_after_many(tmp_path):
    """A new PyPy process reads small elections from their marshalled bytes,
    and switches to the packing once it has read many: the test above runs in
    a new interpreter, before that switch and again after some 60,000 voter
    entries of small elections. Here the test process may have switched long
    before, so only a new one reaches the marshalled reading."""
    script = f"""
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import tarvekbindings
import test_module_conversions as conversions
conversions.test_plain_arguments_are_read_as_any_other_arguments()
voters = [f"v{{i}}" for i in range(60)]
small = (voters, ["p"], {{"p": 1.0}}, {{"p": [(v, 1) for v in voters]}}, {{"p": 60}}, 1.0)
for _ in range(1000):
    assert tarvekbindings.equal_shares_utils(*small) == ["p"]
conversions.test_plain_arguments_are_read_as_any_other_arguments()
"""
    subprocess.run([sys.executable, "-c", script], cwd=tmp_path, check=True, timeout=600)
