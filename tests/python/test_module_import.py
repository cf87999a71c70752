"""Loading the built extension: it works in the interpreter it was built for
and refuses any other with the version-mismatch ImportError."""

from __future__ import annotations

import glob
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarvekbindings

from datadir import missing

EXTENSION = Path(tarvekbindings.__file__).resolve()

# Loads the extension from its path, whatever the interpreter's own tag, and
# reports what happened as JSON.
LOAD = r"""
import importlib.machinery, importlib.util, json, sys
path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("tarvekbindings", path)
spec = importlib.util.spec_from_file_location("tarvekbindings", path, loader=loader)
try:
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
except BaseException as error:
    result = [type(error).__name__, str(error)]
else:
    result = ["ok", sorted(n for n in vars(module) if not n.startswith("__"))]
print(json.dumps(result + [sys.version]))
"""


def cpython(version: str) -> str | None:
    """A CPython interpreter of `version` ("3.12"): the one pyenv knows of, or
    any on PATH."""
    roots = [os.environ.get("PYENV_ROOT"), str(Path.home() / ".pyenv")]
    if shutil.which("pyenv"):
        found = subprocess.run(["pyenv", "root"], capture_output=True, text=True)
        roots.insert(0, found.stdout.strip() if found.returncode == 0 else None)
    candidates = []
    for root in filter(None, roots):
        candidates += sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"))
    candidates += filter(None, [shutil.which(f"python{version}")])
    probe_code = "import sys; print(sys.implementation.name, *sys.version_info[:2])"
    for candidate in candidates:
        probe = subprocess.run([candidate, "-c", probe_code], capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.split() == ["cpython", *version.split(".")]:
            return candidate
    return None


def load_with(interpreter: str) -> list:
    ran = subprocess.run([interpreter, "-c", LOAD, str(EXTENSION)], capture_output=True,
                         text=True, timeout=120, env={**os.environ, "PYTHONPATH": ""})
    assert ran.returncode == 0, ran.stderr
    return json.loads(ran.stdout)


def test_loads_by_path_in_the_interpreter_it_was_built_for():
    assert load_with(sys.executable)[:2] == ["ok", ["equal_shares_add1", "equal_shares_utils"]]


@pytest.mark.cpython_only
def test_python_312_refuses_it_with_the_version_mismatch():
    interpreter = cpython("3.12")
    if interpreter is None:
        missing("a Python 3.12 interpreter", "pyenv install 3.12")
    kind, message, version = load_with(interpreter)
    assert version.startswith("3.12")
    assert kind == "ImportError"
    assert message == ("Python version mismatch: module was compiled for Python 3.11, "
                       f"but the interpreter version is incompatible: {version}.")


@pytest.mark.skipif(sys.implementation.name != "pypy", reason="a PyPy build is tested")
@pytest.mark.parametrize("version", ["3.11", "3.12"])
def test_cpython_refuses_a_pypy_build(version):
    """A build for PyPy calls PyPy's C API, whose symbols CPython does not
    have: loading it fails before the version check could pass it."""
    interpreter = cpython(version)
    if interpreter is None:
        missing(f"a CPython {version} interpreter", f"pyenv install {version}")
    kind, message, _ = load_with(interpreter)
    assert kind == "ImportError"
    assert "undefined symbol: PyPy" in message
