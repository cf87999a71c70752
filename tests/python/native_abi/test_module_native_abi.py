"""The engine's native interface: a C++ program built against the installed
header and linked against the installed extension calls the three exported
functions, and the extension exports nothing else of the engine."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import tarvek
import tarvekbindings

from datadir import missing

HERE = Path(__file__).resolve().parent
EXTENSION = Path(tarvekbindings.__file__).resolve()
EXPORTED = ("break_ties", "equal_shares_utils", "equal_shares_add1")


def loaded_file(pattern: str) -> Path:
    """The file of a shared object this process has loaded, by name pattern."""
    with open("/proc/self/maps") as maps:
        paths = {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}
    return Path(next(p for p in sorted(paths) if re.fullmatch(pattern, Path(p).name)))


def python_link_flags() -> list[str]:
    """Links the interpreter's own library. PyPy's is libpypy3.11-c.so, which
    may need a newer C library than the system's (a private folder of
    Debian 13's libraries on Debian 12): the program runs under the loader
    PyPy was started with and finds its libraries where PyPy's came from, and
    the link leaves the library's own C-library references to that loader.
    DT_RPATH (not DT_RUNPATH) also applies to the libraries it loads."""
    if sys.implementation.name == "pypy":
        library = loaded_file(r"libpypy3\.\d+-c\.so")
        libc = loaded_file(r"libc\.so\.6")
        loader = loaded_file(r"ld-linux.*\.so.*")
        dirs = sorted({str(library.parent), str(libc.parent)})
        return [str(library), f"-Wl,--dynamic-linker={loader}",
                "-Wl,--allow-shlib-undefined", "-Wl,--disable-new-dtags",
                *(f"-Wl,-rpath,{d}" for d in dirs)]
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    return [f"-L{libdir}", "-Wl,--no-as-needed", f"-lpython{version}", f"-Wl,-rpath,{libdir}"]


def test_cpp_program_calls_the_exported_functions(tmp_path):
    if shutil.which("g++") is None:
        missing("g++", "apt-get install g++")
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


def test_extension_exports_only_the_engine_functions_and_the_init():
    if shutil.which("nm") is None or shutil.which("c++filt") is None:
        missing("nm and c++filt", "apt-get install binutils")
    listed = subprocess.run(["nm", "-D", "--defined-only", str(EXTENSION)],
                            capture_output=True, text=True, check=True).stdout
    symbols = sorted(line.split()[-1] for line in listed.splitlines() if line.strip())
    mangled = [s for s in symbols if s.startswith("_Z")]
    assert sorted(set(symbols) - set(mangled)) == ["PyInit_tarvekbindings"]
    demangled = subprocess.run(["c++filt", *mangled], capture_output=True, text=True,
                               check=True).stdout.splitlines()
    assert sorted(d.split("(", 1)[0] for d in demangled) == sorted(EXPORTED)
