"""The source folders stand in floors, module -> api -> {query, persist} -> index/graph ->
index/store -> index/distance: a folder includes only itself and the folders below it, no two
units (a header with its source file) include each other, however indirectly, and only
src/module knows pybind11. Above them all, src/orvikdb is Python that reaches the core only
through the zelt_core module."""

import ast
import re
import sys
from pathlib import Path

SRC = Path(__file__).resolve().parents[2] / "src"
INDEX = {"index/distance", "index/store", "index/graph"}
MAY_INCLUDE = {
    "index/distance": {"index/distance"},
    "index/store": {"index/store", "index/distance"},
    "index/graph": INDEX,
    "query": {"query"} | INDEX,
    "persist": {"persist"} | INDEX,
    "api": {"api", "query", "persist"} | INDEX,
    "module": {"module", "api"},
}
INCLUDE = re.compile(r'#include\s+"((?:index/)?\w+)/(\w+)\.h"')
CODE = [p for p in SRC.rglob("*") if p.suffix in (".h", ".cpp")]


def test_no_include_runs_back_up():
    wrong = []
    for folder, allowed in MAY_INCLUDE.items():
        for path in sorted((SRC / folder).glob("*.[ch]*")):
            for target, _ in INCLUDE.findall(path.read_text()):
                if target not in allowed:
                    wrong.append(f"{path.relative_to(SRC)} includes {target}/")
            if folder != "module" and "pybind11" in path.read_text():
                wrong.append(f"{path.relative_to(SRC)} knows pybind11")
    assert not wrong, wrong
    folders = {str(p.parent.relative_to(SRC)) for p in CODE}
    assert folders == set(MAY_INCLUDE)
    top = {p.name for p in SRC.iterdir() if p.is_dir()}
    assert top == {f.split("/")[0] for f in folders} | {"orvikdb"}


def test_no_two_units_include_each_other():
    includes = {}
    for path in CODE:
        unit = str(path.relative_to(SRC).with_suffix(""))
        includes.setdefault(unit, set()).update(
            f"{folder}/{name}" for folder, name in INCLUDE.findall(path.read_text()))
    reach = {unit: set(targets) - {unit} for unit, targets in includes.items()}
    for _ in includes:  # closes reach under inclusion, one step per round
        reach = {u: r.union(*(reach.get(t, set()) for t in r)) for u, r in reach.items()}
    assert sorted(u for u, r in reach.items() if u in r) == []


def test_orvikdb_reaches_the_core_only_through_zelt_core():
    # Ray only in orvikdb.distributed, which nothing else in orvikdb imports, so
    # that the package works without the distributed extra.
    base = set(sys.stdlib_module_names) | {"numpy", "tqdm", "zelt_core", "orvikdb"}
    wrong = []
    for path in sorted((SRC / "orvikdb").rglob("*")):
        name = str(path.relative_to(SRC / "orvikdb"))
        distributed = name.startswith("distributed")
        if path.is_dir() or path.suffix != ".py":
            if not (path.is_dir() or path.name == "py.typed" or "__pycache__" in name):
                wrong.append(f"{name} is not Python")
            continue
        allowed = base | {"ray"} if distributed else base
        for node in ast.walk(ast.parse(path.read_text())):
            names = [a.name for a in node.names] if isinstance(node, ast.Import) else (
                [node.module or ""] if isinstance(node, ast.ImportFrom) else [])
            wrong += [f"{name} imports {n}" for n in names if n.split(".")[0] not in allowed
                      or (n.startswith("orvikdb.distributed") and not distributed)]
    assert not wrong, wrong
