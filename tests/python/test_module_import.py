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


def python312() -> str | None:
    """A Python 3.12 interpreter: the one pyenv knows of, or any on PATH."""
    roots = [os.environ.get("PYENV_ROOT"), str(Path.home() / ".pyenv"), "/root/.pyenv"]
    if shutil.which("pyenv"):
        found = subprocess.run(["pyenv", "root"], capture_output=True, text=True)
        roots.insert(0, found.stdout.strip() if found.returncode == 0 else None)
    candidates = []
    for root in filter(None, roots):
        candidates += sorted(glob.glob(f"{root}/versions/3.12.*/bin/python3.12"))
    candidates += filter(None, [shutil.which("python3.12")])
    for candidate in candidates:
        probe = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[:2])"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == "(3, 12)":
            return candidate
    return None


def load_with(interpreter: str) -> list:
    ran = subprocess.run([interpreter, "-c", LOAD, str(EXTENSION)], capture_output=True,
                         text=True, timeout=120, env={**os.environ, "PYTHONPATH": ""})
    assert ran.returncode == 0, ran.stderr
    return json.loads(ran.stdout)


def test_loads_by_path_in_the_interpreter_it_was_built_for():
    assert load_with(sys.executable)[:2] == ["ok", ["equal_shares_add1", "equal_shares_utils"]]


def test_python_312_refuses_it_with_the_version_mismatch():
    interpreter = python312()
    if interpreter is None:
        pytest.skip("no Python 3.12 interpreter found")
    kind, message, version = load_with(interpreter)
    assert version.startswith("3.12")
    assert kind == "ImportError"
    assert message == ("Python version mismatch: module was compiled for Python 3.11, "
                       f"but the interpreter version is incompatible: {version}.")
