"""The type stub installed with the module matches the module, name for name and
signature for signature, and type checkers accept the API's use and flag its misuse."""

import ast
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import qelt

STUB = pathlib.Path(qelt.__file__).with_name("qelt.pyi")
SIGNATURE = re.compile(r"^(\w+)\((.*)\) -> (.+)$")


def public(names):
    return [n for n in names if not n.startswith("_")]


def rendered(function) -> tuple[list[tuple[str, str]], str]:
    """The parameters and return type pybind11 renders in the first docstring line."""
    name, params, result = SIGNATURE.match(function.__doc__.splitlines()[0]).groups()
    pairs = [p.split(": ", 1) for p in params.split(", ")] if params else []
    return [(n, t) for n, t in pairs if n != "self"], result


def stubbed(node: ast.FunctionDef) -> tuple[list[tuple[str, str]], str, int]:
    args = node.args
    everything = [a for a in args.posonlyargs + args.args if a.arg != "self"]
    params = [(a.arg, ast.unparse(a.annotation)) for a in everything]
    positional_only = len([a for a in args.posonlyargs if a.arg != "self"])
    assert not args.kwonlyargs and args.vararg is None and args.kwarg is None
    assert not args.defaults
    return params, ast.unparse(node.returns), positional_only


def check(function, node: ast.FunctionDef, method: bool):
    params, result = rendered(function)
    stub_params, stub_result, positional_only = stubbed(node)
    assert [n for n, _ in stub_params] == [n for n, _ in params]
    for (_, module_type), (_, stub_type) in zip(params, stub_params):
        # The stub may widen a parameter to what the module also accepts at run time.
        assert module_type in stub_type.split(" | "), (node.name, module_type, stub_type)
    assert stub_result == result
    # Methods take positional-only arguments; the function takes keywords.
    assert positional_only == (len(params) if method else 0)
    assert ast.get_docstring(node)


@pytest.fixture(scope="module")
def stub() -> ast.Module:
    return ast.parse(STUB.read_text())


def test_stub_is_installed_for_every_tool():
    stub_package = STUB.with_name("qelt-stubs") / "__init__.pyi"
    assert stub_package.read_text() == STUB.read_text()


def test_stub_declares_exactly_the_module(stub):
    top = {n.name: n for n in stub.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert public(top) == public(vars(qelt))
    assert ast.get_docstring(stub)
    check(qelt.patch_sequence, top["patch_sequence"], method=False)
    for class_name in ("Patcher", "FrequencyTable"):
        cls = getattr(qelt, class_name)
        node = top[class_name]
        assert ast.get_docstring(node)
        methods = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
        assert list(methods) == ["__init__", *public(vars(cls))]
        for name, method_node in methods.items():
            check(getattr(cls, name), method_node, method=True)


USE = """
    import qelt

    patches: list[list[int]] = qelt.patch_sequence(list(b"abcabd"), 2, 0.5, 10.0)
    more = qelt.patch_sequence(bytearray(b"abab"), k=0, theta=1.0, theta_r=0.1)
    p = qelt.Patcher()
    p.patch_sequence("abc", [1, 2])
    text: str = p.get_patched_sequence()
    p.reset()
    t = qelt.FrequencyTable()
    t.add_sequence(b"abcab")
    f: float = t.get_frequency("bca")
    t.clear()
"""

MISUSES = [
    'qelt.patch_sequence(b"abab", 0, 0.5, 0.1)',
    "qelt.patch_sequence([1], 1.5, 0.5, 0.1)",
    'qelt.FrequencyTable().add_sequence(arg0="abc")',
    "qelt.Patcher().patch_sequence('abc', None)",
    "x: int = qelt.FrequencyTable().get_frequency('abc')",
]


def mypy(tmp_path, source: str) -> subprocess.CompletedProcess:
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
        capture_output=True, text=True, cwd=tmp_path,
    )


def test_mypy_accepts_the_whole_api(tmp_path):
    result = mypy(tmp_path, USE)
    assert result.returncode == 0, result.stdout
    exec(textwrap.dedent(USE), {})  # and the same code runs


@pytest.mark.parametrize("misuse", MISUSES)
def test_mypy_flags_misuse(tmp_path, misuse):
    result = mypy(tmp_path, f"import qelt\n{misuse}\n")
    assert result.returncode == 1 and "error:" in result.stdout, result.stdout
