"""The module object, its two functions, and how bad calls are refused."""

from __future__ import annotations

import types

import pytest

import tarvekbindings

FUNCTIONS = ("equal_shares_utils", "equal_shares_add1")
SIGNATURE = (
    "(arg0: list[str], arg1: list[str], arg2: dict[str, float], "
    "arg3: dict[str, list[tuple[str, int]]], arg4: dict[str, int], arg5: float) -> list[str]"
)
EMPTY = ([], [], {}, {}, {}, 0.0)


def type_error_message(name: str, args: tuple, kwargs: dict | None = None) -> str:
    message = (
        f"{name}(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. {SIGNATURE}\n"
        "\nInvoked with: " + ", ".join(repr(a) for a in args)
    )
    if kwargs:
        message += "; kwargs: " if args else "kwargs: "
        message += ", ".join(f"{k}={v!r}" for k, v in kwargs.items())
    return message


def test_module_holds_exactly_the_two_functions_in_order():
    assert tarvekbindings.__name__ == "tarvekbindings"
    assert tarvekbindings.__doc__ is None
    standard = set(vars(types.ModuleType("plain")))
    standard |= {"__file__", "__cached__", "__builtins__"}
    own = [name for name in vars(tarvekbindings) if name not in standard]
    assert own == list(FUNCTIONS)


@pytest.mark.cpython_only
@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtin_functions(name):
    # On PyPy, functions of C extensions have a type of their own.
    assert isinstance(getattr(tarvekbindings, name), types.BuiltinFunctionType)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_name_module_and_generated_doc(name):
    fn = getattr(tarvekbindings, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__module__ == "tarvekbindings"
    assert fn.__doc__ == name + SIGNATURE + "\n"


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "args, kwargs",
    [
        (EMPTY[:5], {}),
        (EMPTY + (None,), {}),
        ((), {}),
        (EMPTY[:5], {"total_budget": 10.0}),
        (EMPTY, {"arg0": []}),
        ((), {"arg0": [], "arg5": 1.5}),
    ],
    ids=["five", "seven", "none", "five+kw", "six+arg0", "only-kw"],
)
def test_wrong_arity_or_keywords_give_the_composed_type_error(name, args, kwargs):
    fn = getattr(tarvekbindings, name)
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == type_error_message(name, args, kwargs)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_rejected_argument_message_lists_every_repr(name):
    class Loud:
        def __repr__(self):
            return "<loud>"

    class Broken:
        def __repr__(self):
            raise ValueError("no repr")

    args = (["v", b"w"], ("p",), {"p": 1.0}, {"p": [("v", 1)]}, {"p": Loud()}, Broken())
    with pytest.raises(TypeError) as info:
        getattr(tarvekbindings, name)(*args)
    expected = type_error_message(name, args[:5], None) + ", <repr raised Error>"
    assert str(info.value) == expected


def test_empty_election_gives_an_empty_list(tb):
    for name in FUNCTIONS:
        assert getattr(tb, name)(*EMPTY) == []
