"""The examples in morva.viz's docstrings run as written, and every public function has one."""

import doctest
import importlib
import inspect

import pytest

import morva.viz

MODULES = ["activity", "export", "frames", "movie", "notebook", "palette", "raster", "runplots", "surfaces", "tissue"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples that save files write here
    module = importlib.import_module(f"morva.viz.{name}")
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0


def test_every_public_function_has_parameters_returns_and_an_example():
    functions = [getattr(morva.viz, n) for n in morva.viz.__all__ if inspect.isfunction(getattr(morva.viz, n))]
    assert len(functions) > 20
    lacking = [f.__name__ for f in functions
               if not all(section in (f.__doc__ or "") for section in ("Parameters", "Examples"))]
    assert lacking == []
