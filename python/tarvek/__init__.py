"""Companion package of the ``tarvekbindings`` extension module."""

from pathlib import Path

from .batch import count_many

__all__ = ["count_many", "get_include"]


def get_include() -> str:
    """Directory that holds ``equal_shares.hpp``, the engine's public C++ header.

    The three functions it declares are exported from the ``tarvekbindings``
    extension, so a C++ program can include the header and link the extension.
    """
    return str(Path(__file__).resolve().parent / "include")
