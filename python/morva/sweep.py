"""Parameter sweeps and replicates: small ones in local processes, big ones on Dask distributed,
from one machine to a cluster.

The client plans the runs (checked inputs, seeds derived from the sweep seed, the parameters
and the replicate number), sends one task per run to the Dask scheduler, writes each run's
rows to the store as it finishes and assembles the table in plan order, so the table never
depends on the number of workers, their order or a worker lost on the way.
"""

from __future__ import annotations

import contextlib
import os
import uuid
import warnings

import pandas as pd

from ._sweep_local import SMALL_SWEEP_RUNS, compute_local
from ._sweep_plan import make_plan
from ._sweep_store import Store
from ._sweep_task import describe as _describe, run_one

__all__ = ["sweep", "register"]


def _require_distributed():
    try:
        import distributed
    except ImportError:
        raise ImportError(
            "morva.sweep needs Dask distributed: pip install 'morva[sweep]'"
        ) from None
    return distributed


def machine_cores():
    """Cores this process may use (the affinity mask, not the whole machine)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _check_client(client):
    distributed = _require_distributed()
    if client is not None and not isinstance(client, distributed.Client):
        raise TypeError(f"client: expected a dask.distributed.Client, got {type(client).__name__}")


@contextlib.contextmanager
def _client_for(client, workers):
    """The given client, or a LocalCluster of `workers` single-threaded processes."""
    distributed = _require_distributed()
    if client is not None:
        yield client
        return
    with distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as local:
        yield local


def _progress_bar(total, initial, enabled):
    from tqdm.auto import tqdm

    return tqdm(total=total, initial=initial, unit="run", desc="sweep", disable=not enabled, smoothing=0.1)


def _compute(client, workers, plan, todo, store, progress, on_run):
    """Run the missing runs (on the cluster when there is a client, else in local processes);
    store and report each one as it finishes."""
    results = {}
    with _progress_bar(len(plan.runs), len(plan.runs) - len(todo), progress) as bar:

        def finish(run, rows, seconds):
            if store is not None:
                store.write(run.index, rows)
            results[run.index] = rows
            if on_run is not None:
                on_run(run, rows, seconds)
            bar.update(1)

        if client is None:
            compute_local(plan, todo, workers, finish)
            return results
        distributed = _require_distributed()
        tag = uuid.uuid4().hex[:12]
        futures = {
            client.submit(run_one, plan.model, run, plan.times, plan.measures, key=f"morva-run-{run.index}-{tag}"): run
            for run in todo
        }
        for future in distributed.as_completed(futures):
            try:
                rows, seconds = future.result()
            except Exception as error:  # noqa: BLE001 - the task itself was lost: reported like a failed run
                rows, seconds = [{"mcs": 0, "error": f"task failed on the cluster: {_describe(error)}"}], float("nan")
            future.release()
            finish(futures[future], rows, seconds)
    return results


def _table(plan, results):
    # Parameters, replicate and seed come from the plan, so rows read back from a store
    # (where 12 may have been written as 12.0) cannot disagree with a fresh run.
    rows = [
        {**row, **run.point, "replicate": run.replicate, "seed": run.seed}
        for run in plan.runs
        for row in results[run.index]
    ]
    table = pd.DataFrame.from_records(rows)
    first = [*plan.grid, "replicate", "seed", "mcs"]
    measured = [c for c in table.columns if c not in first and c != "error"]
    table = table[first + measured].astype({"replicate": "int64", "seed": "int64", "mcs": "int64"})
    # None where the run went well, whatever string type pandas would infer for the texts.
    table["error"] = pd.Series([row.get("error") for row in rows], dtype=object, index=table.index)
    return table


def sweep(model, grid, *, replicates, mcs, measure, seed, client=None, workers=None, store=None, progress=True,
          on_run=None):
    """Run a model over a parameter grid with replicates, in parallel, and measure it.

    Every combination of the grid's values is run ``replicates`` times. Each run's seed is
    derived from ``seed``, the run's parameter values and its replicate number (NumPy
    ``SeedSequence``), so the table is the same on one process, on two local workers or on a
    cluster, and when a worker dies and its runs are computed again elsewhere.

    Parameters
    ----------
    model : morva.Model
        The base model; each run applies its grid point with ``model.with_parameters``.
    grid : dict
        Parameter name -> list of values, e.g. ``{"temperature": [5, 10],
        "contact:light:dark": [6, 11, 16]}`` (names as ``model.parameter`` takes them).
    replicates : int
        Runs per grid point (>= 1).
    mcs : int or sequence of int
        The run length, measured at the end; or increasing times at which to measure.
    measure : callable, str or list of them
        ``measure(sim)`` returning a dict of scalars (one column each) or one scalar (a column
        named after the function). A string names a function of ``morva.measures`` (e.g.
        ``"sorting"``) or ``"module:function"``.
    seed : int
        The sweep's seed (>= 0).
    client : dask.distributed.Client, optional
        Where to run. Without one, a sweep of up to 100 runs runs in a pool of local worker
        processes (one run, or one worker, in this process), which starts in well under a
        second; a bigger one starts a Dask ``LocalCluster`` of single-threaded worker processes
        for the sweep and closes it after. Either way the table is the same.
    workers : int, optional
        Local worker processes when there is no client (default: one per core).
    store : str or path-like, optional
        Folder that keeps each finished run's rows (Parquet). Running the same sweep again
        computes only the runs not stored yet; a store made by another sweep is refused.
    progress : bool, default True
        Show runs done and the expected time left.
    on_run : callable, optional
        ``on_run(run, rows, seconds)`` called on the client as each computed run arrives.

    Returns
    -------
    pandas.DataFrame
        One row per run and measured time, in grid order (last parameter fastest), then
        replicate: a column per parameter, ``replicate``, ``seed``, ``mcs``, a column per
        measured value and ``error`` (None, or the text of what failed in that run).

    Examples
    --------
    >>> import morva
    >>> model = morva.load_model("examples/sorting_small.toml")          # doctest: +SKIP
    >>> table = morva.sweep(model, {"temperature": [4.0, 8.0]}, replicates=2,
    ...                     mcs=200, measure="sorting", seed=1)            # doctest: +SKIP
    >>> table.columns.tolist()                                             # doctest: +SKIP
    ['temperature', 'replicate', 'seed', 'mcs', 'sorting_index', 'type_clusters', 'error']
    """
    plan = make_plan(model, grid, replicates=replicates, mcs=mcs, measure=measure, seed=seed)
    _check_client(client)
    opened = Store(store, plan) if store is not None else None
    results = opened.finished(len(plan.runs)) if opened is not None else {}
    todo = [run for run in plan.runs if run.index not in results]
    workers = machine_cores() if workers is None else max(1, int(workers))
    if todo and client is None and len(todo) <= SMALL_SWEEP_RUNS:
        results.update(_compute(None, workers, plan, todo, opened, progress, on_run))
    elif todo:
        with _client_for(client, workers) as active:
            results.update(_compute(active, workers, plan, todo, opened, progress, on_run))
    table = _table(plan, results)
    failed = table.loc[table["error"].notna(), ["replicate", "error"]]
    if len(failed):
        warnings.warn(
            f"{len(failed)} of {len(plan.runs)} runs failed; the 'error' column says why "
            f"(first: {failed['error'].iloc[0]})",
            RuntimeWarning,
            stacklevel=2,
        )
    return table
