from typing import Any

def explain(
    voters: list[str],
    projects: list[str],
    costs: list[float],
    supporters: list[list[tuple[str, int]]],
    total_utilities: list[int],
    budget: float,
    rule: str,
    tie_order: list[str] | None = None,
) -> dict[str, Any]: ...
