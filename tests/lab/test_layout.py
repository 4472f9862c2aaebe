"""The companion's layout holds: no import circles among its modules (imports at any level,
typing-only ones included), no module reaching into another's private names, and no file
too long to read in one sitting."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "kelvara_lab"
LONGEST_FILE = 400


def _modules() -> dict[str, Path]:
    out = {}
    for path in [*PACKAGE.rglob("*.py"), *PACKAGE.rglob("*.pyi")]:
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        out[name] = path
    return out


def _imports(name: str, path: Path, modules: dict[str, Path]):
    """(imported module, names taken from it) for every import statement anywhere in the file."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name, ()
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(
                    [*package.split(".")[: len(package.split(".")) - node.level + 1], base]
                ).strip(".")
            for alias in node.names:
                child = f"{base}.{alias.name}"
                yield (child, ()) if child in modules else (base, (alias.name,))


def _graph():
    modules = _modules()
    edges: dict[str, set[str]] = {name: set() for name in modules}
    private = []
    for name, path in modules.items():
        for target, names in _imports(name, path, modules):
            if target in modules and target != name:
                edges[name].add(target)
                private += [f"{name} takes {target}.{n}" for n in names if n.startswith("_")]
    return edges, private


def _circles(edges: dict[str, set[str]]) -> list[list[str]]:
    """Strongly connected components of more than one module (Tarjan's algorithm)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    found = []

    def visit(v: str) -> None:
        index[v] = low[v] = len(index)
        stack.append(v)
        for w in edges[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(edges):
        if v not in index:
            visit(v)
    return found


def test_no_import_circles_among_the_modules():
    edges, _ = _graph()
    assert _circles(edges) == []


def test_the_circle_finder_sees_a_circle():
    assert _circles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]


def test_no_module_takes_another_modules_private_names():
    _, private = _graph()
    assert private == []


@pytest.mark.parametrize("path", sorted(PACKAGE.rglob("*.py")), ids=lambda p: p.name)
def test_every_file_reads_in_one_sitting(path):
    assert len(path.read_text(encoding="utf-8").splitlines()) <= LONGEST_FILE
