"""The installed type stubs of the extensions: they agree with the modules, and
mypy finds them and checks calls against them."""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap

import pytest

from datadir import missing

# mypy's compiled releases are for CPython; stubtest also inspects the
# functions as CPython builds them.
pytestmark = pytest.mark.cpython_only
if sys.implementation.name == "cpython":
    try:
        import mypy  # noqa: F401
    except ImportError:
        missing("mypy", "pip install '.[test]'", module=True)


def run_mypy(*args: str, cwd) -> subprocess.CompletedProcess:
    """Runs a mypy tool in `cwd` with an empty configuration of its own."""
    (cwd / "mypy.ini").write_text("[mypy]\n")
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=300)


# Both extensions: the contract module and the package's explaining engine.
@pytest.mark.parametrize("module", ["tarvekbindings", "tarvek._engine"])
def test_stubtest_finds_no_differences(tmp_path, module):
    ran = run_mypy("mypy.stubtest", module, "--mypy-config-file", "mypy.ini", cwd=tmp_path)
    assert ran.returncode == 0, ran.stdout + ran.stderr


def test_mypy_checks_calls_against_the_stubs(tmp_path):
    (tmp_path / "snippet.py").write_text(textwrap.dedent("""\
        import tarvekbindings

        args = (["v"], ["p"], {"p": 1.0}, {"p": [("v", 1)]}, {"p": 1}, 1.0)
        winners: list[str] = tarvekbindings.equal_shares_utils(*args)
        more: list[str] = tarvekbindings.equal_shares_add1(*args)
        reveal_type(tarvekbindings.equal_shares_add1)
        tarvekbindings.equal_shares_utils(["v"], ["p"], {"p": 1.0}, {"p": [("v", 1)]}, {"p": 1})
        tarvekbindings.equal_shares_add1(["v"], ["p"], {"p": 1.0}, {}, {}, total_budget=1.0)
        tarvekbindings.equal_shares_utils(["v"], ["p"], {"p": "1"}, {}, {}, 1.0)
        count: int = tarvekbindings.equal_shares_utils(*args)
    """))
    ran = run_mypy("mypy", "--no-incremental", "--config-file", "mypy.ini",
                   "--hide-error-context", "--no-error-summary", "snippet.py", cwd=tmp_path)
    lines = ran.stdout.splitlines()
    # The stubs were found: no complaint about a missing module or stubs.
    assert not [line for line in lines if "import" in line], ran.stdout
    revealed = [line for line in lines if "Revealed type" in line]
    assert len(revealed) == 1 and revealed[0].startswith("snippet.py:6:"), ran.stdout
    assert re.search(r'"def \((builtins\.)?list\[(builtins\.)?str\], ', revealed[0]), revealed[0]
    errors = sorted({int(line.split(":")[1]) for line in lines if ": error:" in line})
    assert errors == [7, 8, 9, 10], ran.stdout
    assert ran.returncode == 1
