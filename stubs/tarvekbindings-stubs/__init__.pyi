def equal_shares_utils(
    arg0: list[str],
    arg1: list[str],
    arg2: dict[str, float],
    arg3: dict[str, list[tuple[str, int]]],
    arg4: dict[str, int],
    arg5: float,
    /,
) -> list[str]: ...
def equal_shares_add1(
    arg0: list[str],
    arg1: list[str],
    arg2: dict[str, float],
    arg3: dict[str, list[tuple[str, int]]],
    arg4: dict[str, int],
    arg5: float,
    /,
) -> list[str]: ...
