"""Participatory-budgeting counts with the Method of Equal Shares.

The package's own API::

    import tarvek

    election = tarvek.load("Netherlands_Assen_2024.pb")
    result = tarvek.count(election)          # rule="add1", ties=None
    print(result.outcome, result.cost, result.agrees)

:func:`count` returns a :class:`Count`: the outcome, its cost, the budget, the
agreement with the outcome recorded in the file, the explanation (rounds,
projects left out, what every voter paid) and the ties it broke.
:func:`compare` puts equal shares beside greedy by votes and the recorded
outcome, voter by voter and by voter group (a :class:`Comparison`).
:func:`count_many` counts many files at once and gives, per file, a
:class:`FileResult`: the JSON-ready record the command prints. The
contract module ``tarvekbindings`` holds the engine's two plain functions.

The modules, each with one job: ``rules`` (the rules, the unbroken tie, the
words every part shares), ``pabulib`` (reading .pb files), ``counting``
(:func:`count` and :class:`Count`), ``recount`` (the exact recount),
``results`` (:class:`FileResult`, counting one file), ``batch`` (counting
many), ``formatting`` (numbers and names as shown) and ``cli`` (the command
and its report page).
"""

from importlib import resources
from pathlib import Path

from .batch import count_many
from .comparison import Comparison, compare
from .counting import Count, LeftOut, Round, Tie, count, load
from .recount import Verdict, certify
from .results import FileResult
from .rules import RULES, TieError

__all__ = [
    "RULES",
    "Comparison",
    "Count",
    "FileResult",
    "LeftOut",
    "Round",
    "Tie",
    "TieError",
    "Verdict",
    "certify",
    "compare",
    "count",
    "count_many",
    "example_path",
    "get_include",
    "load",
]


def get_include() -> str:
    """Directory that holds ``equal_shares.hpp``, the engine's public C++ header.

    The three functions it declares are exported from the ``tarvekbindings``
    extension, so a C++ program can include the header and link the extension.
    """
    return str(Path(__file__).resolve().parent / "include")


def example_path() -> str:
    """Path of the small example election that comes with the package."""
    return str(resources.files("tarvek").joinpath("data", "example.pb"))
