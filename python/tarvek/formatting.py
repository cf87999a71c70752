"""How numbers and names read wherever a result is shown: in the command's
tables and on the report page alike."""

from __future__ import annotations

import os

#: Said of a recorded outcome that the file says another rule decided.
OTHER_RULE_NOTE = " (the file says another rule decided it)"


def display_name(path: str) -> str:
    """A file as results name it: its base name (the whole path if it has none)."""
    return os.path.basename(path) or path


def money(value: float | None) -> str:
    """An amount: whole, or to two decimals; "-" for none."""
    if value is None:
        return "-"
    if value == int(value):
        return f"{int(value):,}"
    return f"{value:,.2f}"


def cents(value: float) -> str:
    """An amount summed in floating point, to the cent (18,000 for 17,999.999999)."""
    return money(round(value, 2) + 0.0)


def percent(share: float | None) -> str:
    return "-" if share is None else f"{100 * share:.2f} %"


def votes(value: float) -> str:
    """An effective vote count: whole, or to two decimals."""
    return f"{value:,.0f}" if value == int(value) else f"{value:,.2f}"


def clip(text: str, width: int) -> str:
    """``text`` cut to ``width`` characters, the last of them "…" where cut."""
    return text if len(text) <= width else text[: width - 1] + "…"
