"""Sweep scaling: throughput on 1 and 2 Dask workers, and Dask's cost per task.

Runs a sweep of short runs of examples/sorting_small.toml on a LocalCluster of 1 worker
process and on one of 2, alternately (so both see the same machine load), and reports
medians over the repetitions:

- throughput (runs per second) on each, and the ratio 2 workers / 1 worker;
- the overhead per task on 1 worker: wall time per run minus the time the run spent inside
  its task (building, stepping, measuring), also as a share of that run time;
- the round trip of an empty task (mcs = 0: build and measure only), for scale;
- the median time a run spends inside its task on 1 and on 2 workers: when it grows on 2
  workers, the cores are busy with other work and the ratio measures the machine, not Dask.

    python bench/sweep_scaling.py [--runs 16] [--mcs 1500] [--repeats 3]
"""

import argparse
import logging
import os
import pathlib
import statistics
import time

import morva
from dask.distributed import Client, LocalCluster

MODEL = pathlib.Path(__file__).resolve().parents[1] / "examples" / "sorting_small.toml"


def timed_sweep(client, model, runs, mcs, seed):
    """Wall seconds of one sweep and the seconds its runs spent inside their tasks."""
    inside = []
    start = time.perf_counter()
    morva.sweep(model, {"temperature": [10.0 + i for i in range(runs)]}, replicates=1, mcs=mcs,
                measure="sorting", seed=seed, client=client, progress=False,
                on_run=lambda run, rows, seconds: inside.append(seconds))
    return time.perf_counter() - start, inside


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=16)
    parser.add_argument("--mcs", type=int, default=1500)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    model = morva.load_model(MODEL)
    clusters = {n: LocalCluster(n_workers=n, threads_per_worker=1, dashboard_address=":0", silence_logs=logging.ERROR)
                for n in (1, 2)}
    clients = {n: Client(cluster) for n, cluster in clusters.items()}
    try:
        for client in clients.values():  # warm up: imports and first pickles on every worker
            timed_sweep(client, model, 4, 10, seed=0)
        throughput = {1: [], 2: []}
        run_time = {1: [], 2: []}
        ratios, overhead, share = [], [], []
        for repeat in range(args.repeats):
            for n in (1, 2):
                wall, inside = timed_sweep(clients[n], model, args.runs, args.mcs, seed=repeat + 1)
                throughput[n].append(args.runs / wall)
                run_time[n].append(statistics.median(inside))
                if n == 1:
                    per_run = statistics.mean(inside)
                    overhead.append(wall / args.runs - per_run)
                    share.append((wall / args.runs - per_run) / per_run)
            ratios.append(throughput[2][-1] / throughput[1][-1])
        empty = []
        for repeat in range(args.repeats):
            wall, inside = timed_sweep(clients[1], model, args.runs, 0, seed=repeat + 1)
            empty.append((wall - sum(inside)) / args.runs)
    finally:
        for n in clients:
            clients[n].close()
            clusters[n].close()
    median = statistics.median
    print(f"machine: {os.cpu_count()} CPUs; {args.runs} runs of {args.mcs} MCS per sweep, {args.repeats} repeats")
    print(f"throughput, 1 worker : {median(throughput[1]):.2f} runs/s")
    print(f"throughput, 2 workers: {median(throughput[2]):.2f} runs/s")
    print(f"ratio 2 / 1 workers  : {median(ratios):.2f} (per repeat: {', '.join(f'{r:.2f}' for r in ratios)})")
    print(f"run time inside task : {median(run_time[1]):.3f} s on 1 worker, {median(run_time[2]):.3f} s on 2 "
          "(longer on 2 = the cores are shared with other work)")
    print(f"dask efficiency, 2 w : {median(throughput[2]) * median(run_time[2]) / 2:.2f} "
          "(throughput against 2 / run time)")
    print(f"overhead per task    : {1e3 * median(overhead):.1f} ms = {100 * median(share):.1f} % of the run time")
    print(f"empty-task overhead  : {1e3 * median(empty):.1f} ms per task (mcs = 0)")


if __name__ == "__main__":
    main()
