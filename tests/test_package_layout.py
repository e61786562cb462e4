"""The integrations (zarvel.dask, zarvel.xarray) build on the package's shared argument
layer through names it offers for the purpose, never through another module's private
helpers, so those can change without breaking them."""

import ast
from pathlib import Path

import pytest

import zarvel

# The source tree's package, or the installed one where the suite runs against a wheel.
PACKAGE = Path(__file__).resolve().parent.parent / "src" / "zarvel"
if not PACKAGE.is_dir():
    PACKAGE = Path(zarvel.__file__).parent


def private_uses(source: str) -> list:
    """Private names of other zarvel modules that ``source`` uses, as written."""
    tree = ast.parse(source)
    modules = set()  # local names bound to zarvel modules
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and (node.level > 0 or (node.module or "").startswith("zarvel")):
            for alias in node.names:
                if alias.name.startswith("_") and not alias.name.startswith("__"):
                    if node.level > 0 and node.module is None:
                        modules.add(alias.asname or alias.name)  # from . import _module
                    else:
                        found.append(f"from {'.' * node.level}{node.module or ''} import {alias.name}")
                else:
                    if node.module is None:
                        modules.add(alias.asname or alias.name)
        elif isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.startswith("zarvel"):
                    modules.add(alias.asname or alias.name.split(".")[0])
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and node.attr.startswith("_") and not node.attr.startswith("__"):
            base = node.value
            while isinstance(base, ast.Attribute):
                base = base.value
            if isinstance(base, ast.Name) and base.id in modules:
                found.append(f"{ast.unparse(node)}")
    return found


@pytest.mark.parametrize("module", ["dask.py", "xarray.py"])
def test_integrations_use_no_private_names_of_other_modules(module):
    assert private_uses((PACKAGE / module).read_text()) == []


@pytest.mark.parametrize(
    "source, expected",
    [
        ("from . import _compose\n_compose._kernel('auto')\n", ["_compose._kernel"]),
        ("from ._compose import _Names\n", ["from ._compose import _Names"]),
        ("from zarvel._compose import _visible\n", ["from zarvel._compose import _visible"]),
        ("import zarvel\nzarvel._compose.blend\n", ["zarvel._compose"]),
        ("from . import _arguments\n_arguments.check_kernel('auto')\n", []),
        ("from ._arguments import Layer\nimport numpy as np\nnp._private\n", []),
    ],
)
def test_the_check_sees_private_uses(source, expected):
    assert private_uses(source) == expected


def test_engine_receives_named_layers(monkeypatch):
    import numpy as np

    from zarvel import _arguments, _compose, _engine

    seen = []
    real = _engine.composite
    monkeypatch.setattr(_compose, "_plain", lambda *args: NotImplemented)
    monkeypatch.setattr(
        _engine, "composite", lambda bg, out, layers, *rest: seen.append(layers) or real(bg, out, layers, *rest)
    )
    background = np.zeros((10, 12, 3), np.uint8)
    layers = [
        _compose.Layer(np.full((5, 6, 4), 9, np.uint8), "multiply", 0.5, offset=(-2, 9)),
        _compose.Layer(np.ones((2, 2, 3), np.uint8), offset=(20, 0)),
    ]  # wholly outside: left out
    _compose.composite(background, layers)
    (job,) = seen
    assert len(job) == 1 and isinstance(job[0], _arguments.EngineLayer)
    layer = job[0]
    assert (layer.mode, layer.opacity, layer.mask) == (_arguments.MODE_INDEX["multiply"], 0.5, None)
    assert layer.image.shape == (1, 5, 6, 4)
    assert (layer.top, layer.rows, layer.image_top) == (0, 3, 2)
    assert (layer.left, layer.cols, layer.image_left) == (9, 3, 0)
