"""Every Examples section in the package's docstrings runs and shows what it says."""

import doctest
import importlib

import pytest

MODULES = ["model", "placement", "modelfile", "build", "simulation", "recording", "checkpoint", "progress",
           "reader", "validate", "cli", "_chunks", "_cell_parts", "_frame_writer", "writers", "hooks",
           "cell_table", "cell_state",
           "contacts", "cell_ode", "reactions"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    module = importlib.import_module(f"morva.{name}")
    failed, attempted = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert attempted > 0 and failed == 0
