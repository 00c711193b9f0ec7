"""The package's modules import one another in one direction: no circles, even through imports inside functions."""

import ast
import pathlib

import morva

PACKAGE = pathlib.Path(morva.__file__).parent
COMPILED = {"morva._native"}  # extension modules in the package: leaves of the graph


def module_files():
    files = {}
    for path in PACKAGE.rglob("*.py"):
        parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        files[".".join(parts)] = path
    return files


def imports_of(name, path, modules):
    """Modules `name` imports anywhere in its source, with the packages that importing them initialises."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    targets = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = package
            for _ in range(max(node.level - 1, 0)):
                base = base.rpartition(".")[0]
            source = node.module if not node.level else ".".join(filter(None, [base, node.module]))
            for alias in node.names:
                submodule = f"{source}.{alias.name}"
                # A submodule is a module of its own; any other name is read from `source` itself.
                targets.add(submodule if submodule in modules or submodule in COMPILED else source)
    edges = set()
    for target in targets:
        while target:
            if target in modules and not name.startswith(target + "."):  # its own packages are already loading
                edges.add(target)
            target = target.rpartition(".")[0]
    return edges - {name}


def cycles(graph):
    """Every circle found by a depth-first search, each as the list of modules around it."""
    found, state, stack = [], {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph[node]):
            if state.get(nxt) == "open":
                found.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return found


def test_no_module_imports_one_that_imports_it_back():
    modules = module_files()
    graph = {name: imports_of(name, path, modules) for name, path in modules.items()}
    assert len(graph) > 30 and graph["morva.reader"] >= {"morva.model", "morva.simulation", "morva.recording"}
    assert cycles(graph) == []


def test_the_cycle_finder_sees_a_circle_through_an_import_inside_a_function(tmp_path):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    (tmp_path / "pkg" / "a.py").write_text("from . import b\n")
    (tmp_path / "pkg" / "b.py").write_text("def f():\n    from .a import x\n")
    modules = {f"pkg.{n}": tmp_path / "pkg" / f"{n}.py" for n in ("a", "b")}
    graph = {name: imports_of(name, path, modules) for name, path in modules.items()}
    assert cycles(graph) == [["pkg.a", "pkg.b", "pkg.a"]]
