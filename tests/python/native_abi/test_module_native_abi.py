"""The engine's native interface: a C++ program built against the installed
header and linked against the installed extension calls the three exported
functions, and the extension exports nothing else of the engine."""

from __future__ import annotations

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import tarvek
import tarvekbindings

HERE = Path(__file__).resolve().parent
EXTENSION = Path(tarvekbindings.__file__).resolve()
EXPORTED = ("break_ties", "equal_shares_utils", "equal_shares_add1")


def python_link_flags() -> list[str]:
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    return [f"-L{libdir}", "-Wl,--no-as-needed", f"-lpython{version}", f"-Wl,-rpath,{libdir}"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")
def test_cpp_program_calls_the_exported_functions(tmp_path):
    include = Path(tarvek.get_include())
    assert (include / "equal_shares.hpp").is_file()
    program = tmp_path / "call_engine"
    compile_cmd = [
        "g++", "-std=c++17", "-O1", "-ffp-contract=off", "-Wall", "-Wextra",
        f"-I{include}", str(HERE / "call_engine.cpp"), "-o", str(program),
        str(EXTENSION), f"-Wl,-rpath,{EXTENSION.parent}", *python_link_flags(),
    ]
    built = subprocess.run(compile_cmd, capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stderr
    ran = subprocess.run([str(program)], capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.splitlines() == [
        "utils: B",
        "add1: B A",
        "break_ties: B",
        "tie: [Tie-breaking failed: B A ]",
        "missing: _Map_base::at",
    ]


@pytest.mark.skipif(shutil.which("nm") is None or shutil.which("c++filt") is None,
                    reason="binutils are not installed")
def test_extension_exports_only_the_engine_functions_and_the_init():
    listed = subprocess.run(["nm", "-D", "--defined-only", str(EXTENSION)],
                            capture_output=True, text=True, check=True).stdout
    symbols = sorted(line.split()[-1] for line in listed.splitlines() if line.strip())
    mangled = [s for s in symbols if s.startswith("_Z")]
    assert sorted(set(symbols) - set(mangled)) == ["PyInit_tarvekbindings"]
    demangled = subprocess.run(["c++filt", *mangled], capture_output=True, text=True,
                               check=True).stdout.splitlines()
    assert sorted(d.split("(", 1)[0] for d in demangled) == sorted(EXPORTED)
