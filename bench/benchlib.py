"""Shared pieces of the benchmark scripts: the native helper program, the
instance files it reads, and small timing and memory helpers."""

from __future__ import annotations

import csv
import datetime
import gc
import math
import os
import platform
import subprocess
import sys
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parent.parent
# The real elections: TARVEK_PABULIB_DIR, or ../shared/data/pabulib beside the repository.
DATA_DIR = Path(os.environ.get("TARVEK_PABULIB_DIR") or REPO.parent / "shared" / "data" / "pabulib")
NATIVE_SOURCE = REPO / "bench" / "native"
BUILD_DIR = REPO / "build" / "bench"
NATIVE_BINARY = BUILD_DIR / "tarvek_bench"
RESULTS_DIR = REPO / "bench" / "results"

Arguments = tuple[list[Any], list[Any], dict[Any, float], dict[Any, list[tuple[Any, int]]], dict[Any, int], float]


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# The native program


def source_state() -> str:
    """The commit measured, and whether the tree held changes not in it."""
    try:
        done = subprocess.run(
            ["git", "-C", str(REPO), "describe", "--always", "--dirty"], capture_output=True, text=True
        )
    except OSError:
        return "commit ?"
    described = done.stdout.strip()
    if not described:
        return "commit ?"
    if described.endswith("-dirty"):
        return f"commit {described.removesuffix('-dirty')}, dirty tree"
    return f"commit {described}, clean tree"


def provenance(title: str, options: str) -> str:
    """The first line of every committed table: what was measured, when, from
    which sources, on which machine and with which options."""
    return (
        f"{title}; {datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M} UTC; {source_state()}; "
        f"{platform.machine()} {os.cpu_count()} cores; {options}"
    )


def write_table(path: Path, comment: str, columns: list[str], rows: Iterable[dict[str, Any]]) -> None:
    """A CSV of `rows` under a first line "# <comment>"; floats to 6 digits."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="") as f:
        f.write(f"# {comment}\n")
        writer = csv.DictWriter(f, fieldnames=columns, extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: (f"{v:.6g}" if isinstance(v, float) else v) for k, v in row.items()})


def ensure_native() -> Path:
    """Configures (once) and builds bench/native into build/bench; cmake
    rebuilds only what changed, so this is cheap when it is up to date."""
    if not (REPO / "tests" / "reference" / "reference.cpp").exists():
        raise SystemExit("bench: tests/reference/reference.cpp (the yardstick) is missing")
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    steps = []
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        log(f"bench: configuring the native benchmark in {BUILD_DIR} ...")
        steps.append(["cmake", "-S", str(NATIVE_SOURCE), "-B", str(BUILD_DIR), "-DCMAKE_BUILD_TYPE=Release"])
    steps.append(["cmake", "--build", str(BUILD_DIR), "-j2"])
    for cmd in steps:
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stdout + done.stderr)
            raise SystemExit(f"bench: building the native benchmark failed: {' '.join(cmd)}")
    return NATIVE_BINARY


def escape_id(raw: bytes) -> str:
    """An id in the instance file's escaped form (without the leading '=')."""
    out = []
    for b in raw:
        if b == 0x25 or b < 0x21 or b >= 0x7F:
            out.append(f"%{b:02X}")
        else:
            out.append(chr(b))
    return "".join(out)


def _id_bytes(value: Any) -> bytes:
    # The engine takes a str as its UTF-8 bytes and bytes/bytearray unchanged.
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


def write_instance(path: Path, args: Arguments) -> None:
    """Writes the six arguments in the format that bench/native reads
    (described in bench/native/instance.hpp)."""
    voters, projects, cost, approvers, total_utility, budget = args
    cache: dict[Any, str] = {}

    def tok(value: Any) -> str:
        key = (type(value), value) if isinstance(value, (str, bytes)) else None
        if key is not None and key in cache:
            return cache[key]
        text = "=" + escape_id(_id_bytes(value))
        if key is not None:
            cache[key] = text
        return text

    def real(x: float) -> str:
        x = float(x)
        return x.hex() if math.isfinite(x) else ("nan" if math.isnan(x) else ("inf" if x > 0 else "-inf"))

    lines = ["tarvek-bench-instance 1", f"budget {real(budget)}", f"voters {len(voters)}"]
    lines.extend(tok(v) for v in voters)
    lines.append(f"projects {len(projects)}")
    lines.extend(tok(p) for p in projects)
    lines.append(f"cost {len(cost)}")
    lines.extend(f"{tok(p)} {real(c)}" for p, c in cost.items())
    lines.append(f"approvers {len(approvers)}")
    for p, supporters in approvers.items():
        lines.append(f"{tok(p)} {len(supporters)}")
        lines.extend(f"{tok(v)} {int(u)}" for v, u in supporters)
    lines.append(f"total_utility {len(total_utility)}")
    lines.extend(f"{tok(p)} {int(u)}" for p, u in total_utility.items())
    lines.append("end\n")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines), encoding="ascii")


def parse_native(text: str) -> dict[str, Any]:
    """Parses the "key value" lines of the native program; outcomes become
    lists of escaped ids under "outcome:<label>"."""
    result: dict[str, Any] = {}
    for line in text.splitlines():
        parts = line.split()
        if not parts:
            continue
        if parts[0] == "outcome":
            result["outcome:" + parts[1]] = [p[1:] for p in parts[3:]]
            continue
        if parts[0].startswith("error_"):
            result[parts[0]] = line.split(None, 1)[1] if len(parts) > 1 else ""
            continue
        if parts[0] == "yardstick_sample":
            result.setdefault("yardstick_samples", []).append((int(parts[2]), float(parts[6])))
            continue
        value: Any = parts[1] if len(parts) > 1 else ""
        try:
            value = int(value)
        except ValueError:
            try:
                value = float(value)
            except ValueError:
                pass
        result[parts[0]] = value
    return result


def escaped_outcome(outcome: Iterable[Any]) -> list[str]:
    return [escape_id(_id_bytes(p)) for p in outcome]


# ---------------------------------------------------------------------------
# Timing and memory


def best_of(call: Callable[[], Any], min_time: float = 1.0, max_reps: int = 20) -> tuple[float, int, Any]:
    """Fastest of repeated calls: at least one, more while the total stays
    below `min_time`. Returns (seconds, repetitions, result of the first)."""
    best = math.inf
    reps = 0
    first: Any = None
    start_all = time.perf_counter()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        while True:
            start = time.perf_counter()
            result = call()
            elapsed = time.perf_counter() - start
            if reps == 0:
                first = result
            del result
            best = min(best, elapsed)
            reps += 1
            if reps >= max_reps or time.perf_counter() - start_all + best >= min_time:
                break
    finally:
        if gc_was_enabled:
            gc.enable()
    return best, reps, first


def deep_size(args: Arguments) -> int:
    """Bytes of the Python objects of the arguments, each object counted once
    (ids shared between the containers, and small ints, count once)."""
    seen: set[int] = set()
    total = 0
    stack: list[Any] = list(args)
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        total += sys.getsizeof(obj)
        if isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, (list, tuple)):
            stack.extend(obj)
    return total


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def release_free_memory() -> None:
    """Hands the allocator's free pages back to the system (glibc), so that
    memory freed by an earlier call does not hide what the next one needs."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak() -> bool:
    """Resets this process's peak RSS (VmHWM) to its current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_extra(call: Callable[[], Any]) -> tuple[int, bool, Any]:
    """Runs `call` and returns (the peak resident bytes it adds over the RSS
    before it, whether the peak mark could be reset, what it returned). When
    the mark cannot be reset the figure is 0 whenever an earlier peak was
    higher."""
    gc.collect()
    release_free_memory()
    reset = reset_peak()
    before = _status_kb("VmRSS")
    result = call()
    peak = _status_kb("VmHWM")
    return max(0, peak - before) * 1024, reset, result
