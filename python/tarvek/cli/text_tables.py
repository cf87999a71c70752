"""Plain-text tables, columns padded to their widest cell."""

from __future__ import annotations


def text_table(headers: list[str], rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]

    def fmt(cells: list[str]) -> str:
        parts = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths, strict=True))]
        return "  ".join(parts).rstrip()

    return [fmt(headers), fmt(["-" * w for w in widths]), *(fmt(r) for r in rows)]
