"""The hand-kept type stub of zelt_core says what the bindings take: the same methods, each
with the same parameters in the same order, the same keyword-only ones and the same
defaults as the signatures pybind11 generates. (Its names alone are also checked by
mypy's stubtest in scripts/test.sh; pybind11's methods carry no signature it could read.)"""

import ast

import zelt_core
from conftest import REPO_ROOT

STUB = REPO_ROOT / "src/module/zelt_core.pyi"


def shape(function):
    """Parameter names, keyword-only names and defaults of a function definition."""
    args = function.args
    defaults = [ast.literal_eval(d) for d in args.defaults]
    kw_defaults = [None if d is None else ast.literal_eval(d) for d in args.kw_defaults]
    return ([a.arg for a in args.args], [a.arg for a in args.kwonlyargs], defaults, kw_defaults)


def stub_methods():
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "HyperbolicIndex"]
    return {f.name: shape(f) for f in cls.body if isinstance(f, ast.FunctionDef)}


def runtime_shape(name):
    signature = getattr(zelt_core.HyperbolicIndex, name).__doc__.splitlines()[0]
    (function,) = ast.parse(f"def {signature}: ...").body
    return shape(function)


def test_stub_matches_the_bindings():
    stub = stub_methods()
    runtime = [n for n in vars(zelt_core.HyperbolicIndex)
               if not n.startswith("_") or n in ("__init__", "__len__")]
    assert sorted(stub) == sorted(runtime)
    assert {name: runtime_shape(name) for name in runtime} == stub
