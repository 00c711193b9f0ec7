"""The store folder: each run written when it ends, resumed runs skipped, other sweeps refused."""

import json

import pandas as pd
import pytest

import morva
from sweep_helpers import fails_when_hot, local_client, sorting_model

GRID = {"temperature": [6.0, 12.0, 24.0]}


@pytest.fixture(scope="module")
def client():
    with local_client(2) as client:
        yield client


def stored_sweep(client, store, computed=None, model=None, **options):
    settings = dict(grid=GRID, replicates=2, mcs=20, measure="sorting", seed=5)
    settings.update(options)
    grid = settings.pop("grid")
    on_run = (lambda run, rows, seconds: computed.append(run.index)) if computed is not None else None
    return morva.sweep(model or sorting_model(), grid, client=client, store=store, progress=False, on_run=on_run,
                       **settings)


def snapshot(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


class TestResume:
    def test_every_finished_run_is_stored_and_read_back(self, client, tmp_path):
        table = stored_sweep(client, tmp_path / "store")
        runs = sorted((tmp_path / "store" / "runs").glob("*.parquet"))
        assert [p.name for p in runs] == [f"{i:06d}.parquet" for i in range(6)]
        stored = pd.concat([pd.read_parquet(p) for p in runs], ignore_index=True)
        pd.testing.assert_frame_equal(stored[table.columns[:-1]], table[table.columns[:-1]], check_dtype=False)
        identity = json.loads((tmp_path / "store" / "sweep.json").read_text())
        assert identity["seed"] == 5 and identity["grid"] == {"temperature": GRID["temperature"]}
        assert morva.load_model(tmp_path / "store" / "model.toml") == sorting_model()

    def test_rerun_computes_only_what_is_missing(self, client, tmp_path):
        store = tmp_path / "store"
        first = []
        complete = stored_sweep(client, store, first)
        assert sorted(first) == list(range(6))
        for index in (1, 4):  # as if the sweep had stopped before these runs finished
            (store / "runs" / f"{index:06d}.parquet").unlink()
        damaged = store / "runs" / "000002.parquet"
        damaged.write_bytes(damaged.read_bytes()[:40])
        pd.DataFrame({"error": []}).to_parquet(store / "runs" / "000003.parquet")  # a run with no rows
        second = []
        resumed = stored_sweep(client, store, second)
        assert sorted(second) == [1, 2, 3, 4]
        pd.testing.assert_frame_equal(resumed, complete)
        third = []
        pd.testing.assert_frame_equal(stored_sweep(client, store, third), complete)
        assert third == []

    def test_failed_runs_are_stored_and_tried_again(self, client, tmp_path):
        store = tmp_path / "store"
        with pytest.warns(RuntimeWarning, match="2 of 6 runs failed"):
            first = stored_sweep(client, store, measure=fails_when_hot)
        failed = set(first.index[first["error"].notna()])
        assert len(failed) == 2 and len(list((store / "runs").glob("*.parquet"))) == 6
        again = []
        with pytest.warns(RuntimeWarning, match="2 of 6 runs failed"):
            second = stored_sweep(client, store, again, measure=fails_when_hot)
        assert sorted(again) == [4, 5]  # the two runs at temperature 24
        pd.testing.assert_frame_equal(second, first)


class TestRefusal:
    @pytest.mark.parametrize(
        "change, message",
        [
            (dict(seed=6), "seed: the store has 5, this sweep 6"),
            (dict(replicates=3), "replicates: the store has 2, this sweep 3"),
            (dict(mcs=[10, 20]), "mcs: the store has [20], this sweep [10, 20]"),
            (dict(grid={"temperature": [6.0, 12.0]}), "grid 'temperature': the store has [6.0, 12.0, 24.0], "
                                                      "this sweep [6.0, 12.0]"),
            (dict(grid={"temperature": GRID["temperature"], "contact:light:dark": [9.0]}),
             "grid parameters: the store has ['temperature'], this sweep ['temperature', 'contact:light:dark']"),
            (dict(measure=["sorting", fails_when_hot]), "measures: the store has ['sorting'], "
                                                        "this sweep ['sorting', 'sweep_helpers:fails_when_hot']"),
            (dict(model=sorting_model(temperature=3.0)), "model: the model differs"),
        ],
    )
    def test_another_sweep_is_refused_and_the_store_untouched(self, client, tmp_path, change, message):
        store = tmp_path / "store"
        stored_sweep(client, store)
        before = snapshot(store)
        with pytest.raises(ValueError, match="made by a different sweep") as error:
            stored_sweep(client, store, **change)
        assert message in str(error.value)
        assert snapshot(store) == before

    def test_a_damaged_sweep_json_is_named(self, client, tmp_path):
        store = tmp_path / "store"
        stored_sweep(client, store)
        (store / "sweep.json").write_text('{"seed": ')
        before = snapshot(store)
        with pytest.raises(ValueError, match="sweep.json' is damaged"):
            stored_sweep(client, store)
        assert snapshot(store) == before

    def test_a_folder_with_other_files_is_refused(self, client, tmp_path):
        (tmp_path / "notes.txt").write_text("mine")
        with pytest.raises(ValueError, match="holds other files and no sweep.json"):
            stored_sweep(client, tmp_path)
        assert snapshot(tmp_path) == {tmp_path.joinpath("notes.txt").relative_to(tmp_path): b"mine"}

    def test_the_same_values_written_differently_are_the_same_sweep(self, client, tmp_path):
        store = tmp_path / "store"
        table = stored_sweep(client, store, grid={"temperature": [6, 12, 24]})
        computed = []
        again = stored_sweep(client, store, computed)
        assert computed == []
        pd.testing.assert_frame_equal(again[["seed", "sorting_index"]], table[["seed", "sorting_index"]])
