"""The package's source reads as a layout: no module imports itself through
others, and no module shares its name with a function, so that
``import tarvek.x`` never finds a function where a module was meant."""

from __future__ import annotations

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "tarvek"


def _module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _sources() -> dict[str, tuple[Path, ast.Module]]:
    return {_module_name(p): (p, ast.parse(p.read_text(encoding="utf-8"))) for p in sorted(PACKAGE.rglob("*.py"))}


def _imports(name: str, path: Path, tree: ast.Module, modules: set[str]) -> set[str]:
    """The package's modules that ``name`` imports anywhere in its text (at
    the top or inside a function: a deferred import still ties the two)."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names if alias.name in modules)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                target = f"{base}.{node.module}" if node.module else base
            else:
                target = node.module or ""
            # "from . import x" imports the module x where there is one, else
            # takes x from the package itself.
            for alias in node.names:
                submodule = f"{target}.{alias.name}"
                found.add(submodule if submodule in modules else target)
    found.discard(name)
    return found & modules


def test_the_import_graph_has_no_cycle():
    sources = _sources()
    # Extension modules are known by their stubs.
    modules = set(sources) | {_module_name(p) for p in PACKAGE.rglob("*.pyi")}
    graph = {name: _imports(name, path, tree, modules) for name, (path, tree) in sources.items()}
    assert graph["tarvek"], "the walk found no import at all"
    state: dict[str, str] = {}

    def visit(name: str, trail: list[str]) -> None:
        state[name] = "open"
        for target in sorted(graph[name]):
            if state.get(target) == "open":
                cycle = trail[trail.index(target):] + [target] if target in trail else [name, target]
                raise AssertionError("import cycle: " + " -> ".join(cycle))
            if target not in state and target in graph:
                visit(target, [*trail, target])
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name, [name])


def test_no_module_is_named_like_a_function():
    sources = _sources()
    module_names = {name.rpartition(".")[2] for name in sources}
    functions = {
        node.name
        for _, tree in sources.values()
        for node in tree.body
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef)
    }
    exported = set()
    for node in sources["tarvek"][1].body:
        if isinstance(node, ast.ImportFrom):
            exported.update(alias.asname or alias.name for alias in node.names)
    assert "count" in exported and "count_many" in functions
    assert module_names & (functions | exported) == set()
