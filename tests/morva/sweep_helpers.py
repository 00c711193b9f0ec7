"""Small models, measures and clusters shared by the sweep tests."""

import contextlib
import os

import morva
from distributed import Client, LocalCluster

# Generous: the test machines have two cores shared with other jobs.
CLUSTER_TIMEOUT = 120


def sorting_model(side=24, cell=4, temperature=10.0):
    """Two-type checkerboard of square cells in a periodic box (the sorting benchmark, tiny)."""
    model = morva.Model((side, side), temperature=temperature, default_contact=0)
    model.add_type("light", volume=cell * cell, lambda_volume=1)
    model.add_type("dark", volume=cell * cell, lambda_volume=1)
    for a, b, energy in [("medium", "light", 16), ("medium", "dark", 16), ("light", "light", 2),
                         ("dark", "dark", 14), ("light", "dark", 11)]:
        model.set_contact(a, b, energy)
    model.add_tiling(["light", "dark"], (cell, cell), (side - cell, side - cell), cell)
    return model


def mean_volume(sim):
    """A user measure returning one scalar (its column takes the function's name)."""
    return float(sim.cells()["volume"].mean())


def fails_when_hot(sim):
    """A user measure that raises for some runs only."""
    if sim.model.temperature > 15:
        raise ValueError("too hot to measure")
    return {"cells": int(sim.n_cells)}


@contextlib.contextmanager
def local_client(n_workers):
    """A real LocalCluster of single-threaded worker processes and its client."""
    with LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                      death_timeout=CLUSTER_TIMEOUT) as cluster, Client(cluster, timeout=CLUSTER_TIMEOUT) as client:
        client.wait_for_workers(n_workers, timeout=CLUSTER_TIMEOUT)
        yield client


def worker_pids(client):
    return client.run(os.getpid)


def dies_when_hot(sim):
    """A measure that takes its worker process down, as a crash in native code would."""
    if sim.model.temperature > 15:
        os._exit(70)
    return {"cells": int(sim.n_cells)}
