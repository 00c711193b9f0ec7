"""Small sweeps on this machine without Dask: a pool of worker processes, or this process alone.

Starting and stopping a Dask cluster takes many seconds, more than a small sweep computes. A
process pool starts in a fraction of a second; one run, or one worker, runs here directly. The
tasks are the same as on the cluster (``run_one``), sent with cloudpickle so that measures defined
in a script or a notebook reach the workers as they reach Dask's.
"""

from __future__ import annotations

import concurrent.futures
import multiprocessing

from ._sweep_task import describe, run_one

# A sweep without a client runs in a local process pool up to this many runs; bigger ones start a
# Dask LocalCluster, which replaces workers that die and shows a dashboard.
SMALL_SWEEP_RUNS = 100


def _run_pickled(payload):
    import cloudpickle

    return run_one(*cloudpickle.loads(payload))


def compute_local(plan, todo, workers, finish):
    """Run `todo` with `workers` processes, calling ``finish(run, rows, seconds)`` as each ends.

    A run whose worker process dies is reported as a failed run (the pool cannot go on after
    that; the runs it had not finished are reported likewise).

    Examples
    --------
    >>> compute_local(plan, plan.runs, 2, print)  # doctest: +SKIP
    """
    if workers <= 1 or len(todo) == 1:
        for run in todo:
            finish(run, *run_one(plan.model, run, plan.times, plan.measures))
        return
    import cloudpickle

    context = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(max_workers=min(workers, len(todo)), mp_context=context) as pool:
        futures = {
            pool.submit(_run_pickled, cloudpickle.dumps((plan.model, run, plan.times, plan.measures))): run
            for run in todo
        }
        for future in concurrent.futures.as_completed(futures):
            try:
                rows, seconds = future.result()
            except Exception as error:  # noqa: BLE001 - the worker was lost: reported like a failed run
                rows, seconds = [{"mcs": 0, "error": f"task failed in a local worker: {describe(error)}"}], float("nan")
            finish(futures[future], rows, seconds)
