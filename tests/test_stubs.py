"""The shipped .pyi stubs describe the built modules: same public names, same
parameters (names, kinds, defaults) for every function and method."""

import ast
import importlib
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane.Source

STUB_DIR = Path(quorvane.Source.__file__).parent
MODULES = ["tavrine", "Corvantis"]
# Special methods a class defines itself and therefore must declare in its stub.
DUNDERS = {"__init__", "__len__", "__getitem__", "__getstate__"}


def _stub(name):
    path = STUB_DIR / f"{name}.pyi"
    assert path.is_file(), f"{path} is not installed"
    return ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def _stub_params(fn: ast.FunctionDef):
    a = fn.args
    assert not a.vararg and not a.kwarg and not a.kwonlyargs and not a.posonlyargs, fn.name
    names = [arg.arg for arg in a.args]
    defaults = [inspect.Parameter.empty] * (len(names) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults
    ]
    return [(n, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for n, d in zip(names, defaults)]


def _runtime_params(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def _stub_members(tree):
    functions, classes, variables = {}, {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            if not node.name.startswith("_"):  # private entries are not part of the public surface
                functions[node.name] = node
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.AnnAssign):
            variables[node.target.id] = node
    return functions, classes, variables


def _own_public(module):
    """Functions and classes the module defines itself (imported libraries excluded)."""
    out = {}
    for name, obj in vars(module).items():
        if name.startswith("_") or inspect.ismodule(obj):
            continue
        if (inspect.isclass(obj) or callable(obj)) and getattr(obj, "__module__", None) == module.__name__:
            out[name] = obj
    return out


def _methods(cls):
    return {
        name: fn
        for name, fn in vars(cls).items()
        if callable(fn) and (not name.startswith("_") or name in DUNDERS)
    }


@pytest.mark.parametrize("name", MODULES)
def test_stub_names_equal_module_names(name):
    module = importlib.import_module(f"quorvane.Source.{name}")
    functions, classes, _ = _stub_members(_stub(name))
    runtime = _own_public(module)
    assert set(functions) | set(classes) == set(runtime)
    for cls_name in classes:
        assert inspect.isclass(runtime[cls_name]), cls_name
        assert set(classes[cls_name]) == set(_methods(runtime[cls_name])), cls_name


@pytest.mark.parametrize("name", MODULES)
def test_stub_signatures_equal_runtime_signatures(name):
    module = importlib.import_module(f"quorvane.Source.{name}")
    functions, classes, _ = _stub_members(_stub(name))
    checked = 0
    for fn_name, node in functions.items():
        assert _stub_params(node) == _runtime_params(getattr(module, fn_name)), fn_name
        checked += 1
    for cls_name, methods in classes.items():
        cls = getattr(module, cls_name)
        for meth_name, node in methods.items():
            assert _stub_params(node) == _runtime_params(vars(cls)[meth_name]), f"{cls_name}.{meth_name}"
            checked += 1
    assert checked == (4 if name == "Corvantis" else 39)


def test_stub_bases_follow_the_module():
    from torch import nn
    from torch.utils import data

    from quorvane.Source import tavrine

    for node in _stub("tavrine").body:
        if isinstance(node, ast.ClassDef):
            base = ast.unparse(node.bases[0])
            expected = nn.Module if base == "nn.Module" else data.Dataset
            assert base in {"nn.Module"} or base.startswith("data.Dataset["), base
            assert issubclass(getattr(tavrine, node.name), expected)


def test_stub_annotations_agree_with_runtime_annotations():
    # getDatalogInfo carries its annotations as type names; the stub must name the same types.
    from quorvane.Source import Corvantis

    functions, _, _ = _stub_members(_stub("Corvantis"))
    node = functions["getDatalogInfo"]
    stub_ann = {a.arg: ast.unparse(a.annotation) for a in node.args.args}
    for param, text in Corvantis.getDatalogInfo.__annotations__.items():
        assert stub_ann[param] == text


def test_stub_module_variables():
    from quorvane.Source import tavrine

    _, _, variables = _stub_members(_stub("tavrine"))
    assert ast.unparse(variables["device"].annotation) == "str"
    assert isinstance(tavrine.device, str)


def test_package_is_marked_typed():
    assert (STUB_DIR.parent / "py.typed").is_file()


def test_stubs_type_check_with_mypy(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "use.py"
    script.write_text(
        "from quorvane.Source import tavrine, Corvantis\n"
        "net = tavrine.AlexNet()\n"
        "texts: list[str] = tavrine.get_custom_shm_labels([[0.0, 1.0]], 'Predicted')\n"
        "table = Corvantis.getKeyWordFromSettingFile({'keyword_item': 'x'})\n"
        "path: str = Corvantis.getDatalogInfo(table, 'a.txt', '', 20)\n"
        "wrong: int = Corvantis.getDatalogInfo(table, 'a.txt', '', 20)\n"
    )
    # mypy finds the installed package (py.typed) and reads the stubs from there;
    # the last line must be the only one it rejects.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--ignore-missing-imports", "--follow-imports=silent",
         "--cache-dir", str(tmp_path / "cache"), str(script)],
        capture_output=True,
        text=True,
    )
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "use.py:6:" in errors[0], proc.stdout + proc.stderr


def test_the_package_itself_type_checks(tmp_path):
    # py.typed promises users' checkers typed code: the package must pass too.
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--ignore-missing-imports", "--cache-dir", str(tmp_path / "cache"),
         "-p", "quorvane"],
        capture_output=True,
        text=True,
        cwd=tmp_path,  # the installed package, not a checkout's src/
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
