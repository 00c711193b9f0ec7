"""Bad input is refused before anything runs, naming the offending item; seeds by structure."""

import numpy as np
import pandas as pd
import pytest

import morva
from morva._sweep_plan import make_plan, run_seed
from morva._sweep_task import run_one
from sweep_helpers import mean_volume, sorting_model

GOOD = dict(replicates=2, mcs=10, measure="sorting", seed=1)


def plan(grid=None, **changes):
    return make_plan(sorting_model(), grid if grid is not None else {"temperature": [5.0, 10.0]},
                     **{**GOOD, **changes})


class TestSeeds:
    def test_seed_depends_on_sweep_seed_parameters_and_replicate_only(self):
        point = {"temperature": 10.0, "contact:light:dark": 6.0}
        seed = run_seed(1, point, 0)
        assert run_seed(1, dict(reversed(point.items())), 0) == seed  # grid order is irrelevant
        assert run_seed(1, {"temperature": 10, "contact:light:dark": 6}, 0) == seed  # 10 == 10.0
        others = {run_seed(2, point, 0), run_seed(1, point, 1), run_seed(1, {**point, "temperature": 11.0}, 0),
                  run_seed(1, {"temperature": 10.0}, 0)}
        assert seed not in others and len(others) == 4
        assert 0 <= seed < 2**63

    def test_plan_lists_runs_in_grid_order_with_their_seeds(self):
        runs = plan({"temperature": [5.0, 10.0], "contact:light:dark": [1.0, 2.0, 3.0]}, replicates=2).runs
        assert len(runs) == 12 and [r.index for r in runs] == list(range(12))
        assert [(r.point["temperature"], r.point["contact:light:dark"], r.replicate) for r in runs[:3]] == [
            (5.0, 1.0, 0), (5.0, 1.0, 1), (5.0, 2.0, 0)]
        assert all(r.seed == run_seed(1, r.point, r.replicate) for r in runs)

    def test_a_grid_point_keeps_its_seed_when_the_grid_grows(self):
        small = {r.seed for r in plan({"temperature": [5.0]}).runs}
        large = {r.seed for r in plan({"temperature": [1.0, 5.0, 9.0]}).runs}
        assert small < large


class TestBadInput:
    @pytest.mark.parametrize(
        "grid, error, message",
        [
            ({}, ValueError, "grid: empty"),
            ({"temperature": []}, ValueError, "grid: parameter 'temperature' has no values"),
            ({"temprature": [1.0]}, KeyError, "temprature"),
            ({"contact:light:blue": [1.0]}, KeyError, "blue"),
            ({"type:light:shade": [1.0]}, KeyError, "shade"),
            ({"temperature": [5.0, 5]}, ValueError, "lists the value 5.0 twice"),
            ({"temperature": [[1, 2]]}, TypeError, "grid: parameter 'temperature': unsupported parameter value"),
            ({"temperature": [-1.0]}, ValueError, "grid point {'temperature': -1.0}: "),
            ([("temperature", [1.0])], TypeError, "grid: expected a dict"),
        ],
    )
    def test_grid(self, grid, error, message):
        with pytest.raises(error, match=message.replace("[", r"\[").replace("{", r"\{")):
            plan(grid)

    def test_missing_contact_pairs_are_named_before_anything_runs(self):
        model = morva.Model((10, 10)).add_type("a", volume=9, lambda_volume=1).set_contact("a", "a", 2)
        settings = dict(replicates=1, mcs=5, measure="sorting", seed=1)
        with pytest.raises(ValueError, match="no contact energy for medium:a;"):
            make_plan(model, {"temperature": [5.0]}, **settings)
        assert len(make_plan(model, {"contact:medium:a": [4.0, 8.0]}, **settings).runs) == 2

    @pytest.mark.parametrize(
        "changes, error, message",
        [
            (dict(replicates=0), ValueError, "replicates: must be at least 1, got 0"),
            (dict(replicates=-2), ValueError, "replicates: must be at least 1, got -2"),
            (dict(replicates=1.5), TypeError, "replicates: expected an integer, got 1.5"),
            (dict(replicates=True), TypeError, "replicates: expected an integer, got True"),
            (dict(seed=-1), ValueError, "seed: must be at least 0, got -1"),
            (dict(mcs=-5), ValueError, "mcs: must be at least 0, got -5"),
            (dict(mcs=[10, 10]), ValueError, r"mcs: times must increase, but mcs\[1\] = 10 follows 10"),
            (dict(mcs=[]), ValueError, "mcs: the schedule of measured times is empty"),
            (dict(mcs="10"), TypeError, "mcs: expected an integer or a sequence of integers, got '10'"),
            (dict(measure="no_such_measure"), ValueError, "measure 'no_such_measure': cannot find"),
            (dict(measure="os:sep"), TypeError, "measure 'os:sep': os.sep is not callable"),
            (dict(measure=42), TypeError, "measure: expected a callable"),
            (dict(measure=[]), ValueError, "measure: the list of measures is empty"),
            (dict(measure=[mean_volume, mean_volume]), ValueError, "'sweep_helpers:mean_volume' is given twice"),
        ],
    )
    def test_other_arguments(self, changes, error, message):
        with pytest.raises(error, match=message):
            plan(**changes)

    def test_a_client_that_is_not_one_is_refused_before_running(self, tmp_path):
        with pytest.raises(TypeError, match="client: expected a dask.distributed.Client, got str"):
            morva.sweep(sorting_model(), {"temperature": [5.0]}, client="tcp://nowhere:1", store=tmp_path / "s",
                        **GOOD)
        assert not (tmp_path / "s").exists()

    def test_bad_input_writes_no_store(self, tmp_path):
        with pytest.raises(ValueError):
            morva.sweep(sorting_model(), {"temperature": []}, store=tmp_path / "s", **GOOD)
        assert not (tmp_path / "s").exists()


class TestMeasureResults:
    """What a measure returns, checked inside the task (here called in-process)."""

    @staticmethod
    def run_with(measure, times=(0, 5)):
        one = plan(measure=measure, replicates=1)
        rows, seconds = run_one(one.model, one.runs[0], times, one.measures)
        assert seconds >= 0
        return rows

    def test_scalars_of_numpy_and_series_become_plain_columns(self):
        rows = self.run_with(lambda sim: {"n": np.int64(sim.n_cells), "t": np.float32(0.5)})
        assert [row["mcs"] for row in rows] == [0, 5] and rows[0]["n"] == 16 and rows[1]["t"] == 0.5
        assert type(rows[0]["n"]) is int and type(rows[1]["t"]) is float and rows[0]["error"] is None
        rows = self.run_with(lambda sim: pd.Series({"a": 1.5, "b": 2.5}))
        assert (rows[0]["a"], rows[0]["b"]) == (1.5, 2.5) and type(rows[0]["a"]) is float

    @pytest.mark.parametrize(
        "measure, message",
        [
            (lambda sim: {"labels": sim.labels()}, "value for 'labels' is a ndarray, not a scalar"),
            (lambda sim: {"seed": 1}, "column 'seed' is taken by the sweep's own columns"),
            (lambda sim: {"temperature": 1}, "column 'temperature' is taken by the sweep's own columns"),
            (lambda sim: 1 / 0, "failed: ZeroDivisionError: division by zero"),
        ],
    )
    def test_bad_results_end_the_run_with_an_error_row(self, measure, message):
        rows = self.run_with(measure)
        assert len(rows) == 1 and rows[0]["mcs"] == 0 and message in rows[0]["error"]
        assert rows[0]["error"].startswith("measure '")

    def test_two_measures_giving_one_column_are_refused(self):
        rows = self.run_with(["sorting", lambda sim: {"sorting_index": 0.0}], times=(3,))
        assert "column 'sorting_index' is given twice" in rows[0]["error"]
        assert len(rows) == 1 and rows[0]["mcs"] == 3
