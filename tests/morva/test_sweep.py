"""Sweeps on a real LocalCluster of worker processes: same table whatever runs them."""

import os
import signal

import dask
import numpy as np
import pandas as pd
import pytest

import morva
from morva._sweep_plan import run_seed
from morva.measures import sorting
from sweep_helpers import dies_when_hot, fails_when_hot, local_client, mean_volume, sorting_model, worker_pids

GRID = {"contact:light:dark": [6.0, 16.0], "temperature": [4.0, 12.0]}


def small_sweep(client, **options):
    settings = dict(replicates=2, mcs=[10, 30], measure=["sorting", mean_volume], seed=11, progress=False)
    settings.update(options)
    return morva.sweep(sorting_model(), GRID, client=client, **settings)


@pytest.fixture(scope="module")
def two_workers():
    with local_client(2) as client:
        yield client


@pytest.fixture(scope="module")
def reference(two_workers):
    return small_sweep(two_workers)


class TestTable:
    def test_same_table_on_one_and_on_two_workers(self, reference):
        with local_client(1) as one:
            assert len(worker_pids(one)) == 1
            pd.testing.assert_frame_equal(small_sweep(one), reference)

    def test_small_sweeps_run_locally_without_a_cluster_and_give_the_same_table(self, reference, monkeypatch,
                                                                                capfd):
        import distributed

        def no_cluster(*args, **kwargs):
            raise AssertionError("a small sweep started a Dask cluster")

        monkeypatch.setattr(distributed, "LocalCluster", no_cluster)
        pd.testing.assert_frame_equal(small_sweep(None, workers=2), reference)  # a process pool
        pd.testing.assert_frame_equal(small_sweep(None, workers=1), reference)  # this process
        local_volume = lambda sim: float(sim.cells()["volume"].mean())  # noqa: E731 - reaches workers pickled
        table = small_sweep(None, workers=2, measure=local_volume)
        assert table["<lambda>"].tolist() == reference["mean_volume"].tolist()
        assert "Worker" not in capfd.readouterr().err

    def test_layout_one_row_per_run_and_time_in_grid_order(self, reference):
        assert list(reference.columns) == [*GRID, "replicate", "seed", "mcs", "sorting_index", "type_clusters",
                                           "mean_volume", "error"]
        assert len(reference) == 4 * 2 * 2
        assert reference["error"].isna().all()
        runs = reference.drop_duplicates([*GRID, "replicate"])
        expected = [(j, t, r) for j in GRID["contact:light:dark"] for t in GRID["temperature"] for r in range(2)]
        assert list(runs[[*GRID, "replicate"]].itertuples(index=False, name=None)) == expected
        assert reference["mcs"].tolist() == [10, 30] * 8
        assert runs["seed"].is_unique

    def test_each_row_is_reproduced_by_its_parameters_and_seed(self, reference):
        row = reference.iloc[-1]
        point = {name: row[name] for name in GRID}
        assert row["seed"] == run_seed(11, point, int(row["replicate"]))
        sim = sorting_model().with_parameters(point).build(int(row["seed"]))
        sim.run(30, progress=False)
        assert sorting(sim) == {"sorting_index": row["sorting_index"], "type_clusters": row["type_clusters"]}
        assert mean_volume(sim) == row["mean_volume"]

    def test_parameters_reach_the_runs(self, reference):
        # Hot runs fluctuate more than cold ones: different temperatures give different tissues.
        last = reference[reference["mcs"] == 30]
        by_temperature = last.groupby("temperature")["sorting_index"].apply(tuple)
        assert by_temperature[4.0] != by_temperature[12.0]

    def test_a_different_seed_gives_different_runs(self, two_workers, reference):
        other = small_sweep(two_workers, seed=12)
        assert not set(other["seed"]) & set(reference["seed"])
        assert not np.allclose(other["sorting_index"], reference["sorting_index"])


class TestFailures:
    def test_a_worker_killed_mid_sweep_changes_nothing(self, two_workers):
        longer = dict(mcs=[1000, 2000])  # long enough that runs are still going after the first one ends
        undisturbed = small_sweep(two_workers, **longer)
        killed = []

        def kill_a_busy_worker(run, rows, seconds):
            if killed:
                return
            busy = [address for address, keys in client.processing().items() if keys]
            if busy:
                pid = worker_pids(client)[busy[0]]
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)

        with local_client(2) as client:
            before = set(worker_pids(client).values())
            table = small_sweep(client, on_run=kill_a_busy_worker, **longer)
            client.wait_for_workers(2, timeout=120)
            after = set(worker_pids(client).values())
        assert killed and killed[0] in before and killed[0] not in after
        assert table["error"].isna().all()
        pd.testing.assert_frame_equal(table, undisturbed)

    def test_a_failing_run_is_reported_and_the_others_go_on(self, two_workers):
        grid = {"temperature": [10.0, 20.0]}
        with pytest.warns(RuntimeWarning, match="2 of 4 runs failed"):
            table = morva.sweep(sorting_model(), grid, replicates=2, mcs=[5, 10], measure=fails_when_hot,
                                seed=3, client=two_workers, progress=False)
        cold, hot = table[table["temperature"] == 10.0], table[table["temperature"] == 20.0]
        assert cold["error"].isna().all() and cold["cells"].between(1, 16).all() and len(cold) == 4
        assert len(hot) == 2 and hot["cells"].isna().all()
        assert hot["error"].str.contains("measure 'sweep_helpers:fails_when_hot' at MCS 5 failed: "
                                         "ValueError: too hot to measure").all()

    def test_a_build_failure_is_reported(self, two_workers):
        model = sorting_model()
        model.add_block("light", (2, 2), (6, 6))  # overlaps the tiling: refused when built
        with pytest.warns(RuntimeWarning, match="1 of 1 runs failed"):
            table = morva.sweep(model, {"temperature": [5.0]}, replicates=1, mcs=5, measure="sorting", seed=1,
                                client=two_workers, progress=False)
        assert table["error"].iloc[0].startswith("building the model failed: ValueError: placement 1 (block) overlaps")

    def test_a_run_that_keeps_killing_its_worker_is_reported(self):
        # The scheduler gives up on a task after allowed-failures worker deaths; 0 makes it quick.
        with dask.config.set({"distributed.scheduler.allowed-failures": 0}), local_client(2) as client:
            with pytest.warns(RuntimeWarning, match="1 of 2 runs failed"):
                table = morva.sweep(sorting_model(), {"temperature": [10.0, 20.0]}, replicates=1, mcs=5,
                                    measure=dies_when_hot, seed=3, client=client, progress=False)
        assert table["error"].iloc[0] is None and table["cells"].iloc[0] > 0
        assert table["error"].iloc[1].startswith("task failed on the cluster: KilledWorker")
        assert table["temperature"].tolist() == [10.0, 20.0] and table["seed"].is_unique
