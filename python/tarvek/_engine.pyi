"""The equal-shares engine with the explanation of its outcome."""

from typing import TypedDict

# The shape of explain()'s result. At run time it is plain dicts and lists, so
# these types exist for the type checker only (hence private names).

class _ExplainedRound(TypedDict):
    project: str
    effective_votes: float
    price: float
    paid: float
    paid_all: int
    #: (voter, amount paid, money kept) per voter of the project's supporter
    #: list, in its order.
    payments: list[tuple[str, float, float]]
    #: The projects of a tie broken by the tie order (else empty).
    tied: list[str]

class _ExplainedLeftOut(TypedDict):
    project: str
    #: "unaffordable", "no payable share", "cost not positive", "no supporter"
    #: or "no supporter among the voters".
    reason: str
    cost: float
    supporters_money: float
    left_in_round: int | None
    money_when_left: float | None

class _ExplainedRun(TypedDict):
    outcome: list[str]
    budget: float
    start_money: float
    rounds: list[_ExplainedRound]
    left_out: list[_ExplainedLeftOut]

class UnbrokenTie(RuntimeError):
    tied: list[str]

def explain(
    voters: list[str],
    projects: list[str],
    costs: list[float],
    supporters: list[list[tuple[str, int]]],
    total_utilities: list[int],
    budget: float,
    add1: bool,
    tie_order: list[str] | None = None,
) -> _ExplainedRun: ...
