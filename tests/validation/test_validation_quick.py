"""The reduced validation scripts: each passes its own checks and writes its figure and table."""

import importlib
import json
import types

import pytest

from validation import SCRIPTS, report


@pytest.mark.physics
@pytest.mark.parametrize("name", SCRIPTS)
def test_quick_version_passes_and_writes_figure_and_table(name, tmp_path):
    result = report.execute(importlib.import_module(f"validation.{name}"), quick=True, out=tmp_path)
    assert not result.failures(), [f"{c.name}: {c.measured} (expected {c.criterion()})" for c in result.failures()]
    document = json.loads((tmp_path / f"{name}.json").read_text())
    assert document["passed"] and document["quick"] and len(document["checks"]) == len(result.checks)
    assert (tmp_path / f"{name}.png").stat().st_size > 10_000


def _script(checks):
    def run(quick, out):
        import matplotlib.pyplot as plt

        return report.Result("fake", checks, {"x": [1.0]}, plt.figure())

    return types.SimpleNamespace(__doc__="A fake script.", run=run)


def test_a_number_outside_its_tolerance_fails_the_script(tmp_path):
    good = [report.within("a", 1.05, 1.0, 0.1), report.at_least("b", 3, 3), report.at_most("c", -1, 0)]
    assert report.main(_script(good), ["--out", str(tmp_path)]) == 0
    for bad in (report.within("a", 1.2, 1.0, 0.1), report.at_least("b", 2.9, 3), report.at_most("c", float("nan"), 0)):
        assert report.main(_script(good + [bad]), ["--out", str(tmp_path)]) == 1
        assert json.loads((tmp_path / "fake.json").read_text())["passed"] is False
