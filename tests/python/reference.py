"""A plain, slow Python model of the engine, written to read like the rule.

It takes the six arguments in the same shapes as the extension module and
converts them the way the module does (ids to bytes, the earlier of two keys
that convert to the same bytes wins), then runs the fixed-budget Method of
Equal Shares with utilities and the Add1 completion step by step:

* every effective vote count is kept as the exact double; a NaN count is kept
  as -infinity;
* only a project with a count that is finite and greater than 0 contends for
  selection;
* candidates with equal stored counts keep the order in which they first
  appear in ``projects``; supporters with equal keys keep their list order, and
  a NaN key sorts after +infinity;
* the completion returns the held outcome when there are no voters, when the
  trial budget no longer grows, or when the run just accepted is saturated
  (every larger trial budget would replay it);
* the whole share per voter is the truncated quotient, kept as a double.

Only meant for small instances: nothing here is clever or fast.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any

MISSING_KEY = "_Map_base::at"
TIE_PREFIX = "Tie-breaking failed: "


# --- numbers and lookups -----------------------------------------------------


def div(a: float, b: float) -> float:
    """IEEE 754 division (Python raises on a zero divisor instead)."""
    a, b = float(a), float(b)
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.inf if math.copysign(1.0, a) == math.copysign(1.0, b) else -math.inf


def trunc(x: float) -> float:
    """Truncation toward zero that keeps infinities and NaN."""
    return x if not math.isfinite(x) else float(math.trunc(x))


def at(mapping: Mapping[bytes, Any], key: bytes) -> Any:
    """A checked lookup: a missing key fails the way the engine's lookups do."""
    try:
        return mapping[key]
    except KeyError:
        raise IndexError(MISSING_KEY) from None


# --- conversion of the Python arguments --------------------------------------


def to_id(value: str | bytes | bytearray) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")
    return bytes(value)


def to_map(d: Mapping[Any, Any], convert_value: Any = lambda x: x) -> dict[bytes, Any]:
    out: dict[bytes, Any] = {}
    for key, value in dict.items(d):
        out.setdefault(to_id(key), convert_value(value))
    return out


def convert(voters, projects, cost, approvers, total_utility, total_budget):
    """The six arguments as the engine receives them."""
    return (
        [to_id(v) for v in voters],
        [to_id(p) for p in projects],
        to_map(cost, float),
        to_map(approvers, lambda sup: [(to_id(v), int(u)) for v, u in sup]),
        to_map(total_utility, int),
        float(total_budget),
    )


def to_str(ids: list[bytes]) -> list[str]:
    return [i.decode("utf-8") for i in ids]


# --- tie-breaking ------------------------------------------------------------


def break_ties(cost: Mapping[bytes, float], total_utility: Mapping[bytes, int],
               choices: list[bytes]) -> bytes:
    if not choices:
        raise RuntimeError(TIE_PREFIX)
    cheapest = choices[0]
    for e in choices[1:]:
        if at(cost, cheapest) > at(cost, e):
            cheapest = e
    lowest = at(cost, cheapest)
    choices = [c for c in choices if at(cost, c) == lowest]
    if not choices:
        raise RuntimeError(TIE_PREFIX)
    most_useful = choices[0]
    for e in choices[1:]:
        if at(total_utility, most_useful) < at(total_utility, e):
            most_useful = e
    highest = at(total_utility, most_useful)
    choices = [c for c in choices if at(total_utility, c) == highest]
    if len(choices) > 1:
        raise RuntimeError(TIE_PREFIX + "".join(c.decode("utf-8", "replace") + " " for c in choices))
    return choices[0]


# --- the fixed-budget rule ---------------------------------------------------


class Run:
    """One run of the rule at one budget.

    Besides the winners it records whether the run is *saturated*: whether
    every larger budget provably replays it decision by decision. A larger
    budget gives every listed voter at least as much money at every point of
    the run (the charges being the same), and supporters who are not listed
    in `voters` hold exactly the same; comparisons and sums of doubles are
    monotone. The run is therefore saturated when no decision depends on a
    listed voter being short of money:

    * the start share is finite, and so are every payment and every balance;
    * an unaffordable project has no listed supporter;
    * in an evaluation, only unlisted supporters fail to pay, every listed
      supporter could pay at the final share, and so could the first unlisted
      supporter after a listed payer (more money moves a listed supporter
      only further back, except with a negative utility, which is therefore
      not allowed once anyone failed);
    * no listed supporter's charge is cut to what it holds.
    """

    def __init__(self, voters, projects, cost, approvers, total_utility, total_budget):
        self.voters = voters
        self.projects = projects
        self.cost = cost
        self.approvers = approvers
        self.total_utility = total_utility
        self.total_budget = total_budget
        self.saturated = True
        self.winners = self._run()

    def _run(self) -> list[bytes]:
        cost, approvers, total_utility = self.cost, self.approvers, self.total_utility
        listed = set(self.voters)

        budget: dict[bytes, float] = {}
        for v in self.voters:
            budget[v] = self.total_budget / len(self.voters)
        if self.voters and not math.isfinite(self.total_budget / len(self.voters)):
            self.saturated = False

        # Insertion order of `remaining` is the order of first occurrence in
        # `projects`, which orders candidates with equal stored counts.
        remaining: dict[bytes, float] = {}
        for p in self.projects:
            if not at(cost, p) > 0.0:
                continue
            if not at(approvers, p):
                continue
            remaining[p] = float(at(total_utility, p))

        winners: list[bytes] = []
        while remaining:
            candidates = sorted(remaining, key=lambda p: remaining[p], reverse=True)
            best_count = 0.0
            best: list[bytes] = []
            unaffordable: list[bytes] = []
            for c in candidates:
                if best_count > remaining[c]:
                    break
                supporters = at(approvers, c)
                money = 0.0
                for v, _ in supporters:
                    money += budget.setdefault(v, 0.0)
                if at(cost, c) > money:
                    unaffordable.append(c)
                    if any(v in listed for v, _ in supporters):
                        self.saturated = False
                    continue

                def key(i, supporters=supporters):
                    v, u = supporters[i]
                    k = div(budget[v], u)
                    return (1, 0.0) if math.isnan(k) else (0, k)

                utility_left = float(at(total_utility, c))
                paid = 0.0
                failed: set[int] = set()
                order = sorted(range(len(supporters)), key=key)
                for position, i in enumerate(order):
                    v, u = supporters[i]
                    share = div(at(cost, c) - paid, utility_left)
                    if share * u > budget[v]:
                        paid += budget[v]
                        utility_left -= u
                        failed.add(i)
                        continue
                    count = div(at(cost, c), share)
                    remaining[c] = -math.inf if math.isnan(count) else count
                    if count > 0.0 and math.isfinite(count):
                        if count > best_count:
                            best, best_count = [c], count
                        elif count == best_count:
                            best.append(c)
                    if any(supporters[j][0] in listed for j in failed):
                        self.saturated = False
                    if any(share * w_u > budget[w] for w, w_u in supporters if w in listed):
                        self.saturated = False
                    if failed and any(w in listed and w_u < 0 for w, w_u in supporters):
                        self.saturated = False
                    if v in listed and u >= 0:
                        # With more money this payer may move behind unlisted
                        # supporters that come after it now; the first of
                        # them would then be asked to pay.
                        later = [j for j in order[position + 1:] if supporters[j][0] not in listed]
                        if later and share * supporters[later[0]][1] > budget[supporters[later[0]][0]]:
                            self.saturated = False
                    break
                else:
                    if any(v in listed for v, _ in supporters):
                        self.saturated = False

            for p in unaffordable:
                del remaining[p]
            if not best:
                return winners

            winner = break_ties(cost, total_utility, list(best))
            winners.append(winner)
            del remaining[winner]

            price = div(at(cost, winner), best_count)
            for v, u in at(approvers, winner):
                payment = u * price
                held = budget.setdefault(v, 0.0)
                if held < payment:
                    charge = held
                    if v in listed:
                        self.saturated = False
                else:
                    charge = payment
                budget[v] = held - charge
                if not (math.isfinite(payment) and math.isfinite(budget[v])):
                    self.saturated = False
        return winners


def outcome_cost(cost: Mapping[bytes, float], outcome: list[bytes]) -> float:
    total = 0.0
    for p in outcome:
        total += at(cost, p)
    return total


def rule(voters, projects, cost, approvers, total_utility, total_budget) -> list[bytes]:
    """The fixed-budget rule on already converted arguments."""
    return Run(voters, projects, cost, approvers, total_utility, total_budget).winners


def completion(voters, projects, cost, approvers, total_utility, total_budget,
               max_runs: int | None = None, stop_when_saturated: bool = True) -> list[bytes]:
    """The Add1 completion on already converted arguments.

    `max_runs` bounds the number of runs; exceeding it raises TimeoutError so a
    test can give up on an instance instead of hanging. Without
    `stop_when_saturated` only the plain steps end the completion (and the
    trial budget that stops growing)."""
    outcome = rule(voters, projects, cost, approvers, total_utility, total_budget)
    n = len(voters)
    if n == 0:
        return outcome
    whole_share = trunc(total_budget / n)
    trial_budget = n * whole_share
    spent = outcome_cost(cost, outcome)
    runs = 1
    while True:
        exhaustive = True
        for p in projects:
            if p in outcome:
                continue
            if spent + at(cost, p) <= total_budget:
                exhaustive = False
                break
        if exhaustive:
            return outcome

        if max_runs is not None and runs >= max_runs:
            raise TimeoutError(f"more than {max_runs} runs")
        runs += 1
        trial_budget = trial_budget + n
        run = Run(voters, projects, cost, approvers, total_utility, trial_budget)
        next_cost = outcome_cost(cost, run.winners)
        if not next_cost <= total_budget:
            return outcome
        outcome, spent = run.winners, next_cost
        if trial_budget + n == trial_budget or (stop_when_saturated and run.saturated):
            return outcome


# --- the module's two functions ----------------------------------------------


def equal_shares_utils(voters: Sequence[Any], projects: Sequence[Any], cost: Mapping[Any, Any],
                       approvers: Mapping[Any, Any], total_utility: Mapping[Any, Any],
                       total_budget: float) -> list[str]:
    return to_str(rule(*convert(voters, projects, cost, approvers, total_utility, total_budget)))


def equal_shares_add1(voters: Sequence[Any], projects: Sequence[Any], cost: Mapping[Any, Any],
                      approvers: Mapping[Any, Any], total_utility: Mapping[Any, Any],
                      total_budget: float, max_runs: int | None = None,
                      stop_when_saturated: bool = True) -> list[str]:
    args = convert(voters, projects, cost, approvers, total_utility, total_budget)
    return to_str(completion(*args, max_runs=max_runs, stop_when_saturated=stop_when_saturated))
